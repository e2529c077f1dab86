#!/usr/bin/python3
"""Writes the fixtures of the passphrase, recovery-key and passkey unlock:
two key sets of one account (the second stands for a reset of the account's
keys), each with its key record (public key, Argon2id kdf, the passphrase's
and the recovery key's envelopes), and passkeys of the first key set with
their PRF outputs and stored envelopes. Key pairs come from the openssl
command line; Argon2id from python3-argon2, HKDF and AES-GCM from
python3-cryptography, all written from the formats' description.

Run once; the output is committed and the tests need no Python.

    /usr/bin/python3 tools/vectors/make_unlock.py   (Debian's python3, python3-argon2)
"""
import json
import os
import subprocess
import sys
import tempfile
import unicodedata

from argon2.low_level import Type, hash_secret_raw
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

sys.path.insert(0, os.path.dirname(__file__))
from make_primitives import TOP, b64u, canonical  # noqa: E402

OUT = os.path.join(TOP, "tests", "shared", "encryption-client", "fixtures")
DOMAIN = "nimbuscrate-e2ee-v1"
ACCOUNT = "acct_unlock_1"
RP_ID = "drive.nimbuscrate.com"  # the default web app host of the build
KDF = {"name": "argon2id", "memorySize": 65536, "iterations": 3, "parallelism": 4}


def argon2id(password, salt):
    return hash_secret_raw(password, salt, time_cost=3, memory_cost=65536, parallelism=4, hash_len=32,
                           type=Type.ID, version=0x13)


def seal(key, plaintext, aad):
    nonce = os.urandom(12)
    sealed = AESGCM(key).encrypt(nonce, plaintext, aad)
    return {"version": 1, "cipher": "A256GCM", "iv": b64u(nonce), "ciphertext": b64u(sealed)}


def account_aad(label):
    return canonical([DOMAIN, ACCOUNT, "account", "v1", label]).encode()


def key_pair(work, name):
    path = os.path.join(work, name + ".pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path],
                   check=True, capture_output=True)
    with open(path, "rb") as f:
        numbers = serialization.load_pem_private_key(f.read(), password=None).private_numbers()
    x = numbers.public_numbers.x.to_bytes(32, "big")
    y = numbers.public_numbers.y.to_bytes(32, "big")
    jwk = {"kty": "EC", "crv": "P-256", "ext": True, "key_ops": ["verify"], "x": b64u(x), "y": b64u(y)}
    signing = dict(jwk, d=b64u(numbers.private_value.to_bytes(32, "big")), key_ops=["sign"])
    return jwk, signing


def key_set(work, name, passphrase):
    jwk, signing = key_pair(work, name)
    keys = {"version": 1, "accountId": ACCOUNT, "publicKey": jwk, "signingKey": signing,
            "root": b64u(os.urandom(32))}
    plaintext = canonical(keys).encode()
    salt = os.urandom(16)
    recovery = os.urandom(32)
    passphrase_key = argon2id(unicodedata.normalize("NFKC", passphrase).encode(), salt)
    record = {"version": 1, "accountId": ACCOUNT, "publicKey": jwk, "kdf": dict(KDF, salt=b64u(salt)),
              "passwordEnvelope": seal(passphrase_key, plaintext, account_aad("password")),
              "recoveryEnvelope": seal(recovery, plaintext, account_aad("recovery"))}
    return {"keys": keys, "keyRecord": record, "passphrase": passphrase, "passphraseKey": b64u(passphrase_key),
            "recoveryKey": b64u(recovery)}


def passkey(keys, label, number):
    record = {"version": 1, "id": "0b8f%04x-5c1e-4d2a-9f3b-7a6c5d4e3f%02x" % (number, number), "rpId": RP_ID,
              "label": label, "credentialId": b64u(os.urandom(32)), "salt": b64u(os.urandom(32))}
    prf = os.urandom(32)
    context = canonical(dict(record, purpose="nimbuscrate-passkey-wrap-v1", accountId=ACCOUNT)).encode()
    wrap_key = HKDF(algorithm=hashes.SHA256(), length=32, salt=DOMAIN.encode(), info=context).derive(prf)
    stored = dict(record, envelope=seal(wrap_key, canonical(keys).encode(), context))
    return {"record": record, "prf": b64u(prf), "wrapContext": context.decode(), "stored": stored}


def passphrase_keys():
    """Keys of passphrases at the length limits under one salt."""
    salt = os.urandom(16)
    cases = []
    for text in ["\U0001F600" * 4, "a" * 1024, "e\u0301t\u00e9 ete!"]:
        cases.append({"passphrase": text, "kdf": dict(KDF, salt=b64u(salt)),
                      "key": b64u(argon2id(unicodedata.normalize("NFKC", text).encode(), salt))})
    return cases


def main():
    os.makedirs(OUT, exist_ok=True)
    # A passphrase whose compatibility forms (a ligature, full-width
    # letters and digits) normalise to it.
    passphrase = "first correct horse 42"
    compat = "\ufb01rst \uff43\uff4f\uff52\uff52\uff45\uff43\uff54 horse \uff14\uff12"
    assert compat != passphrase and unicodedata.normalize("NFKC", compat) == passphrase
    with tempfile.TemporaryDirectory() as work:
        first = key_set(work, "first", passphrase)
        second = key_set(work, "second", "battery staple after reset")
    first["passphraseCompatibilityForm"] = compat
    data = {"accountId": ACCOUNT, "rpId": RP_ID, "first": first, "second": second,
            "passkeys": [passkey(first["keys"], "Laptop", 1), passkey(first["keys"], "Phone \u00e9", 2),
                         passkey(first["keys"], "Key", 3)],
            "passphraseKeys": passphrase_keys()}
    path = os.path.join(OUT, "unlock.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=True, sort_keys=True)
        f.write("\n")
    print("wrote", os.path.relpath(path, TOP))


if __name__ == "__main__":
    main()
