#!/usr/bin/env python3
"""Writes the independent PRF vectors of the passkey tests.

Run once; tests/platform/passkeys/fixtures/prf.json is committed. For each
case the "hmac-secret" salt is SHA-256("WebAuthn PRF" || 0x00 || salt) and
the PRF output of a credential secret is HMAC-SHA-256(secret, that salt),
computed with Python's hashlib and hmac, never with the code under test.

    tools/vectors/make_passkey_prf.py
"""
import hashlib
import hmac
import json
import os
import random

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT = os.path.join(TOP, "tests", "platform", "passkeys", "fixtures", "prf.json")


def case(secret, salt):
    salt_input = hashlib.sha256(b"WebAuthn PRF" + b"\x00" + salt).digest()
    output = hmac.new(secret, salt_input, hashlib.sha256).digest()
    return {"secret": secret.hex(), "salt": salt.hex(), "saltInput": salt_input.hex(), "prf": output.hex()}


def main():
    rng = random.Random(5113)
    cases = [
        case(bytes(32), bytes(32)),
        case(bytes(range(32)), bytes(range(32, 64))),
    ]
    for _ in range(3):
        cases.append(case(bytes(rng.randrange(256) for _ in range(32)), bytes(rng.randrange(256) for _ in range(32))))
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as out:
        json.dump({"prf": cases}, out, indent=2)
        out.write("\n")


if __name__ == "__main__":
    main()
