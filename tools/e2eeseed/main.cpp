// nimbuscrate-e2ee-seed: writes the local service's seed of an encrypted
// account, the account's unlocked keys, and the passphrase and recovery key
// that unlock them (see EncryptedSeed.h).
//
//   nimbuscrate-e2ee-seed BASE-SEED ENCRYPTED-ITEMS SEED-OUT KEYS-OUT UNLOCK-OUT

#include <exception>
#include <iostream>

#include "tools/e2eeseed/EncryptedSeed.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: nimbuscrate-e2ee-seed BASE-SEED ENCRYPTED-ITEMS SEED-OUT KEYS-OUT UNLOCK-OUT\n";
        return 2;
    }
    try {
        nimbuscrate::e2eeseed::writeEncryptedSeed(argv[1], argv[2], argv[3], argv[4], argv[5]);
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-e2ee-seed: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
