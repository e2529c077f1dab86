#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz_records target (fuzz/corpus/fuzz_records):
a signed record under the key of private scalar 1, an envelope and a small
payload under the fixed key 0x11 * 32, each behind its selector byte.
Run once; the seeds are committed.

    tools/vectors/make_fuzz_seeds.py
"""
import os
import sys

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

sys.path.insert(0, os.path.dirname(__file__))
from make_primitives import TOP, b64u, canonical  # noqa: E402

OUT = os.path.join(TOP, "fuzz", "corpus", "fuzz_records")
KEY = bytes([0x11]) * 32


def aad(purpose):
    return canonical(["nimbuscrate-e2ee-v1", "acct", "node", "rev", purpose]).encode()


def main():
    os.makedirs(OUT, exist_ok=True)
    private = ec.derive_private_key(1, ec.SECP256R1())
    value = {"purpose": "node", "nodeId": "n1", "generation": 1, "name": "\u00e9"}
    r, s = decode_dss_signature(private.sign(canonical(value).encode(), ec.ECDSA(hashes.SHA256())))
    record = {"value": value, "signature": b64u(r.to_bytes(32, "big") + s.to_bytes(32, "big"))}
    iv = bytes(range(12))
    envelope = {"version": 1, "cipher": "A256GCM", "iv": b64u(iv),
                "ciphertext": b64u(AESGCM(KEY).encrypt(iv, b"metadata text", aad("metadata")))}
    header = bytes([0x28]) + bytes(range(1, 40))
    segment_key = HKDF(algorithm=hashes.SHA256(), length=32, salt=header[1:33], info=aad("content")).derive(KEY)
    payload = header + AESGCM(segment_key).encrypt(header[33:40] + b"\x00\x00\x00\x00\x01", b"x" * 100, None)
    seeds = {
        "signed-record": b"\x00" + canonical(record).encode(),
        "envelope": b"\x01" + canonical(envelope).encode(),
        "small-payload": b"\x02" + payload,
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print("wrote", os.path.relpath(os.path.join(OUT, name), TOP))


if __name__ == "__main__":
    sys.exit(main())
