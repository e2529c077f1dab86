#!/usr/bin/env python3
"""Writes the independent test vectors of the encryption building blocks.

Run once; the outputs under tests/shared/encryption/fixtures/ are committed,
so the tests need neither Python nor this script. Every value comes from
Python's standard library, Debian's python3-cryptography or the openssl
command line, never from the code under test.

    tools/vectors/make_primitives.py
"""
import base64
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT = os.path.join(TOP, "tests", "shared", "encryption", "fixtures")
P256_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def b64u(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def canonical(value):
    """Canonical text: no whitespace, members in UTF-16 code-unit order."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        assert 0 <= value <= 2**53 - 1
        return str(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    if isinstance(value, dict):
        names = sorted(value, key=lambda n: n.encode("utf-16-be"))
        return "{" + ",".join(json.dumps(n, ensure_ascii=False) + ":" + canonical(value[n]) for n in names) + "}"
    raise TypeError(value)


def shuffled(value, rng):
    """The same value with its members inserted in a random order."""
    if isinstance(value, dict):
        items = list(value.items())
        rng.shuffle(items)
        return {k: shuffled(v, rng) for k, v in items}
    if isinstance(value, list):
        return [shuffled(v, rng) for v in value]
    return value


def write(name, data):
    path = os.path.join(OUT, name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=True, sort_keys=True)
        f.write("\n")
    print("wrote", os.path.relpath(path, TOP))


def canonical_cases():
    rng = random.Random(5)
    values = [
        {"b": 1, "a": [True, None, "x"]},
        {},
        [],
        "",
        0,
        9007199254740991,
        {"a": 1, "aa": 2, "B": 3, "b": 4},
        {"\U0001F600": 1, "\uFF01": 2, "\uE000": 3, "z": 4, "\u00e9": 5},
        "\u000b\u001f/\u007f\u00e9",
        "tab\there\nnew\rline \\ back \"quote\" \b \f \u0000 \u2028",
        {"nested": {"deeper": [{"z": None, "y": [1, 2, {"x": "\U0001F4A9"}]}], "k\u0301": False}},
        ["\uD7FF", "\uE000", "\U00010000", "\U0010FFFF"],
        {"version": 1, "cipher": "A256GCM", "iv": "AAAAAAAAAAAAAAAA", "ciphertext": "x-_"},
    ]
    cases = []
    for value in values:
        text = json.dumps(shuffled(value, rng), indent=2, ensure_ascii=True)
        cases.append({"input": text, "canonical": canonical(value)})
        text = json.dumps(shuffled(value, rng), ensure_ascii=False, separators=(" , ", " : "))
        cases.append({"input": text, "canonical": canonical(value)})
    return cases


def hkdf_cases():
    def okm(ikm, salt, info):
        return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt or None, info=info).derive(ikm)

    cases = []
    # RFC 5869 appendix A, test cases 1 to 3 (SHA-256): the first 32 bytes of
    # the published output keying material, checked here against the library.
    rfc = [
        ("0b" * 22, "000102030405060708090a0b0c", "f0f1f2f3f4f5f6f7f8f9",
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"),
        ("".join("%02x" % i for i in range(0x00, 0x50)),
         "".join("%02x" % i for i in range(0x60, 0xb0)),
         "".join("%02x" % i for i in range(0xb0, 0x100)),
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
         "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"),
        ("0b" * 22, "", "",
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"),
    ]
    for ikm, salt, info, published in rfc:
        derived = okm(bytes.fromhex(ikm), bytes.fromhex(salt), bytes.fromhex(info))
        assert derived.hex() == published[:64], "RFC 5869 vector does not match the library"
        cases.append({"ikm": ikm, "salt": salt, "info": info, "okm": published[:64], "source": "RFC 5869"})
    rng = random.Random(6)
    subkeys = []
    for label in ["file-key-wrap", "node-metadata", "file-metadata"]:
        key = bytes(rng.randrange(256) for _ in range(32))
        subkeys.append({"key": key.hex(), "label": label, "subkey": okm(key, b"nimbuscrate-e2ee-v1", label.encode()).hex()})
    return cases, subkeys


def aes_gcm_cases():
    # McGrew and Viega, "The Galois/Counter Mode of Operation", test cases
    # 13 to 16 (256-bit keys, 96-bit IVs), checked against the library.
    published = [
        ("00" * 32, "00" * 12, "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"),
        ("00" * 32, "00" * 12, "00" * 16, "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"),
        ("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525"
         "b16aedf5aa0de657ba637b391aafd255", "",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838"
         "c5f61e6393ba7a0abcc9f662898015ad", "b094dac5d93471bdec1a502270e3cc6c"),
        ("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525"
         "b16aedf5aa0de657ba637b39", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838"
         "c5f61e6393ba7a0abcc9f662", "76fc6ece0f4e1768cddf8853bb2d551b"),
    ]
    cases = []
    for key, iv, pt, aad, ct, tag in published:
        sealed = AESGCM(bytes.fromhex(key)).encrypt(bytes.fromhex(iv), bytes.fromhex(pt), bytes.fromhex(aad))
        assert sealed.hex() == ct + tag, "published AES-GCM vector does not match the library"
        cases.append({"key": key, "iv": iv, "plaintext": pt, "aad": aad, "sealed": ct + tag})
    # Envelopes as another client writes them.
    rng = random.Random(7)
    envelopes = []
    for length in [0, 1, 32, 300]:
        key = bytes(rng.randrange(256) for _ in range(32))
        iv = bytes(rng.randrange(256) for _ in range(12))
        pt = bytes(rng.randrange(256) for _ in range(length))
        aad = canonical(["nimbuscrate-e2ee-v1", "acct", "node-%d" % length, "rev", "metadata"]).encode()
        sealed = AESGCM(key).encrypt(iv, pt, aad)
        envelopes.append({
            "key": key.hex(), "aad": aad.decode(), "plaintext": pt.hex(),
            "envelope": {"version": 1, "cipher": "A256GCM", "iv": b64u(iv), "ciphertext": b64u(sealed)},
        })
    return cases, envelopes


def digest_cases():
    rng = random.Random(8)
    out = []
    for data in [b"", b"abc", b"nimbuscrate", bytes(rng.randrange(256) for _ in range(1000))]:
        out.append({"data": data.hex(), "sha256": b64u(hashlib.sha256(data).digest()),
                    "base64url": b64u(data)})
    return out


def openssl(*args, input=None):
    return subprocess.run(["openssl", *args], input=input, check=True, capture_output=True).stdout


def ecdsa_cases(work):
    key_path = os.path.join(work, "key.pem")
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key_path)
    pub_pem = openssl("pkey", "-in", key_path, "-pubout")
    with open(key_path, "rb") as f:
        private = serialization.load_pem_private_key(f.read(), password=None)
    numbers = private.private_numbers()
    d = numbers.private_value.to_bytes(32, "big")
    x = numbers.public_numbers.x.to_bytes(32, "big")
    y = numbers.public_numbers.y.to_bytes(32, "big")
    jwk = {"kty": "EC", "crv": "P-256", "ext": True, "key_ops": ["verify"], "x": b64u(x), "y": b64u(y)}

    records = []
    values = [{"purpose": "unlock", "accountId": "acct_1"}, None, {"b": [1, 2], "a": "\u00e9\U0001F600"}]
    for value in values:
        message = canonical(value).encode()
        msg_path = os.path.join(work, "msg")
        with open(msg_path, "wb") as f:
            f.write(message)
        der = openssl("dgst", "-sha256", "-sign", key_path, msg_path)
        r, s = decode_dss_signature(der)
        # Checked by the independent library as well.
        private.public_key().verify(der, message, ec.ECDSA(hashes.SHA256()))
        high_s = P256_ORDER - s
        private.public_key().verify(encode_dss_signature(r, high_s), message, ec.ECDSA(hashes.SHA256()))
        records.append({
            "canonical": message.decode(),
            "record": {"value": value, "signature": b64u(r.to_bytes(32, "big") + s.to_bytes(32, "big"))},
            "highS": b64u(r.to_bytes(32, "big") + high_s.to_bytes(32, "big")),
        })

    # A point that is not on the curve: y + 1.
    off_curve = dict(jwk)
    off_curve["y"] = b64u(((numbers.public_numbers.y + 1) % (2**256)).to_bytes(32, "big"))
    root = os.urandom(32)
    keys = {"version": 1, "accountId": "acct_1", "publicKey": jwk,
            "signingKey": dict(jwk, d=b64u(d), key_ops=["sign"]), "root": b64u(root)}
    key_record = {"version": 1, "accountId": "acct_1", "publicKey": jwk}
    return {"jwk": jwk, "publicKeyPEM": pub_pem.decode(), "offCurveJWK": off_curve, "records": records,
            "keys": keys, "keyRecord": key_record}


def main():
    os.makedirs(OUT, exist_ok=True)
    write("canonical_json.json", canonical_cases())
    hkdf, subkeys = hkdf_cases()
    write("hkdf.json", {"hkdf": hkdf, "subkeys": subkeys})
    gcm, envelopes = aes_gcm_cases()
    write("aes_gcm.json", {"gcm": gcm, "envelopes": envelopes})
    write("digests.json", digest_cases())
    with tempfile.TemporaryDirectory() as work:
        write("ecdsa.json", ecdsa_cases(work))


if __name__ == "__main__":
    sys.exit(main())
