#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/core/Bytes.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate::testing {

// The text of a committed fixture under tests/shared/encryption/fixtures.
inline std::string fixtureText(const std::string& name) {
    const std::string path = std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/shared/encryption/fixtures/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("missing fixture " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Fixtures are read with nlohmann-json, independently of the reader under test.
inline nlohmann::json fixture(const std::string& name) { return nlohmann::json::parse(fixtureText(name)); }

inline Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

template <typename Container>
std::string toHex(const Container& bytes) {
    return toHex(bytes.data(), bytes.size());
}

// A fixture value as an E2EEJSON (through its JSON text).
inline E2EEJSON toE2EE(const nlohmann::json& value) { return E2EEJSON::parse(value.dump()); }

// Runs body and expects it to throw the E2EEError of the given case.
template <typename Body>
void expectE2EEError(E2EEError::Case expected, Body&& body, const std::string& label = "") {
    try {
        body();
        ADD_FAILURE() << "no error thrown " << label;
    } catch (const E2EEError& error) {
        EXPECT_EQ(error.kind(), expected) << error.what() << " " << label;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected error: " << error.what() << " " << label;
    }
}

template <typename Body>
void expectInvalid(Body&& body, const std::string& label = "") {
    expectE2EEError(E2EEError::Case::invalid, std::forward<Body>(body), label);
}

// Runs body and expects the cipher's own authentication failure.
template <typename Body>
void expectAuthenticationFailure(Body&& body, const std::string& label = "") {
    try {
        body();
        ADD_FAILURE() << "opened: " << label;
    } catch (const CryptoError& error) {
        EXPECT_EQ(error.kind(), CryptoError::Kind::authenticationFailure) << error.what() << " " << label;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected error " << error.what() << ": " << label;
    }
}

}  // namespace nimbuscrate::testing
