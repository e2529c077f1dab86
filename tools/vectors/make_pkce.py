#!/usr/bin/env python3
"""Writes the independent PKCE (S256) vectors of the sign-in tests.

Run once; tests/app/model/fixtures/pkce.json is committed. The challenges
come from the openssl command line (SHA-256) and Python's base64, never from
the code under test.

    tools/vectors/make_pkce.py
"""
import base64
import json
import os
import random
import subprocess

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT = os.path.join(TOP, "tests", "app", "model", "fixtures", "pkce.json")
UNRESERVED = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"


def s256(verifier):
    digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=verifier.encode("ascii"),
                            capture_output=True, check=True).stdout
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


def main():
    rng = random.Random(7636)
    verifiers = ["".join(rng.choice(UNRESERVED) for _ in range(n)) for n in (43, 86, 128)]
    # An 86-character verifier as the client makes them: 64 bytes in unpadded base64url.
    verifiers.append(base64.urlsafe_b64encode(bytes(rng.randrange(256) for _ in range(64))).decode().rstrip("="))
    cases = [{"verifier": v, "challenge": s256(v)} for v in verifiers]
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as out:
        json.dump({"s256": cases}, out, indent=2)
        out.write("\n")


if __name__ == "__main__":
    main()
