// nimbuscrate-e2ee-seed: writes the local service's seed of an encrypted
// account and the account's unlocked keys (see EncryptedSeed.h).
//
//   nimbuscrate-e2ee-seed BASE-SEED ENCRYPTED-ITEMS SEED-OUT KEYS-OUT

#include <exception>
#include <iostream>

#include "tools/e2eeseed/EncryptedSeed.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: nimbuscrate-e2ee-seed BASE-SEED ENCRYPTED-ITEMS SEED-OUT KEYS-OUT\n";
        return 2;
    }
    try {
        nimbuscrate::e2eeseed::writeEncryptedSeed(argv[1], argv[2], argv[3], argv[4]);
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-e2ee-seed: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
