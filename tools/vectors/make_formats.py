#!/usr/bin/env python3
"""Writes reference fixtures of the segmented file format and of the signed
file manifests and node records, from an independent Python writer of the
formats (python3-cryptography and the standard library).

Run once after make_primitives.py (it reuses that script's key set from
ecdsa.json); the outputs are committed and the tests need no Python. Large
streams are committed as SHA-256 digests only.

    tools/vectors/make_formats.py
"""
import base64
import hashlib
import json
import os
import random
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

sys.path.insert(0, os.path.dirname(__file__))
from make_primitives import OUT, b64u, canonical, write  # noqa: E402

DOMAIN = b"nimbuscrate-e2ee-v1"
SEGMENT = 1048576
FIRST_PLAIN = SEGMENT - 40 - 16
PLAIN = SEGMENT - 16


def unb64u(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def hkdf(key, salt, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(key)


def subkey(key, label):
    return hkdf(key, DOMAIN, label.encode())


def aad(account, node, revision, purpose):
    return canonical([DOMAIN.decode(), account, node, revision, purpose]).encode()


def plaintext(size):
    """The deterministic test plaintext: byte i is (i * 131 + (i >> 11)) mod 256."""
    return bytes(((i * 131) + (i >> 11)) & 0xFF for i in range(size))


def segment_count(size):
    return (size + 40 + PLAIN - 1) // PLAIN


def stream(key, content_aad, header, data):
    """The segmented stream, written from the format's description."""
    assert len(header) == 40 and header[0] == 0x28
    seg_key = hkdf(key, header[1:33], content_aad)
    prefix = header[33:40]
    n = segment_count(len(data))
    out = bytearray(header)
    offset = 0
    for i in range(n):
        length = FIRST_PLAIN if i == 0 else PLAIN
        chunk = data[offset:offset + length]
        offset += len(chunk)
        nonce = prefix + i.to_bytes(4, "big") + (b"\x01" if i == n - 1 else b"\x00")
        out += AESGCM(seg_key).encrypt(nonce, chunk, None)
    assert offset == len(data)
    assert len(out) == len(data) + 40 + 16 * n
    return bytes(out)


def seal(key, data, associated, rng):
    iv = bytes(rng.randrange(256) for _ in range(12))
    return {"version": 1, "cipher": "A256GCM", "iv": b64u(iv),
            "ciphertext": b64u(AESGCM(key).encrypt(iv, data, associated))}


class Signer:
    def __init__(self, keys):
        d = int.from_bytes(unb64u(keys["signingKey"]["d"]), "big")
        self.private = ec.derive_private_key(d, ec.SECP256R1())

    def sign(self, value):
        der = self.private.sign(canonical(value).encode(), ec.ECDSA(hashes.SHA256()))
        r, s = decode_dss_signature(der)
        return {"value": value, "signature": b64u(r.to_bytes(32, "big") + s.to_bytes(32, "big"))}


def node_record(keys, signer, rng, node_id, kind, parent_id, generation, deleted, name, drive_id=None,
                purged=False, operation_id=None):
    metadata = {"name": name}
    if drive_id is not None:
        metadata["driveId"] = drive_id
    node_key = subkey(unb64u(keys["root"]), "node-metadata")
    envelope = seal(node_key, canonical(metadata).encode(),
                    aad(keys["accountId"], node_id, str(generation), "node-metadata"), rng)
    value = {"purpose": "node", "accountId": keys["accountId"], "nodeId": node_id, "kind": kind,
             "parentId": parent_id, "generation": generation, "deleted": deleted, "purged": purged,
             "operationId": operation_id or "op-%d" % rng.randrange(10**9), "metadata": envelope}
    return signer.sign(value)


def manifest(keys, signer, rng, node_id, revision_id, parent_id, previous_generation, previous_revision_id,
             metadata, file_key, node):
    root = unb64u(keys["root"])
    size = metadata["size"]
    value = {
        "format": "nimbuscrate-tink-aes256-v1",
        "accountId": keys["accountId"],
        "nodeId": node_id,
        "revisionId": revision_id,
        "parentId": parent_id,
        "previousGeneration": previous_generation,
        "previousRevisionId": previous_revision_id,
        "ciphertextLength": size + 40 + 16 * segment_count(size),
        "keyEnvelope": seal(subkey(root, "file-key-wrap"), file_key,
                            aad(keys["accountId"], node_id, revision_id, "file-key"), rng),
        "metadata": seal(subkey(file_key, "file-metadata"), canonical(metadata).encode(),
                         aad(keys["accountId"], node_id, revision_id, "metadata"), rng),
        "node": node,
    }
    return signer.sign(value)


def streams():
    rng = random.Random(31)
    key = bytes(rng.randrange(256) for _ in range(32))
    content_aad = aad("acct_1", "node-1", "rev-1", "content")
    header = bytes([0x28]) + bytes(rng.randrange(256) for _ in range(39))
    cases = []
    for size in [0, 1, 1048519, 1048520, 1048521, 2097080, 2097081, 3200000]:
        data = plaintext(size)
        out = stream(key, content_aad, header, data)
        case = {"size": size, "ciphertextLength": len(out), "segments": segment_count(size),
                "plaintextSHA256": hashlib.sha256(data).hexdigest(), "streamSHA256": hashlib.sha256(out).hexdigest()}
        if size <= 1:
            case["stream"] = out.hex()
        cases.append(case)
    small = plaintext(1000)
    return {"key": key.hex(), "aad": content_aad.decode(), "header": header.hex(), "streams": cases,
            "smallPayload": {"size": 1000, "payload": stream(key, content_aad, header, small).hex()}}


def records():
    with open(os.path.join(OUT, "ecdsa.json")) as f:
        keys = json.load(f)["keys"]
    signer = Signer(keys)
    rng = random.Random(32)
    out = {"keys": keys, "manifests": [], "nodes": []}

    def add_manifest(label, node_id, revision_id, previous_generation, previous_revision_id, metadata, node_generation):
        file_key = bytes(rng.randrange(256) for _ in range(32))
        node = node_record(keys, signer, rng, node_id, "file", "folder-1", node_generation, False, metadata["name"])
        record = manifest(keys, signer, rng, node_id, revision_id, "folder-1", previous_generation,
                          previous_revision_id, metadata, file_key, node)
        entry = {"opaqueName": "%s-%s.nbenc" % (node_id, revision_id), "revisionId": revision_id,
                 "ciphertextLength": record["value"]["ciphertextLength"], "generation": previous_generation + 1,
                 "current": True, "driveId": "drive-1", "parentItemId": "drive-1", "manifest": record}
        out["manifests"].append({
            "label": label, "record": record, "entry": entry, "metadata": metadata, "fileKey": file_key.hex(),
            "contentAAD": aad(keys["accountId"], node_id, revision_id, "content").decode(),
        })

    add_manifest("new file", "9b2f0c1e-6a4d-4c8e-9f3a-2d7e5b1c8a40", "1c0d3e4f-5a6b-4c7d-8e9f-0a1b2c3d4e5f", 0, "",
                 {"name": "Report \u00e9t\u00e9.pdf", "size": 1048521, "mime": "application/pdf",
                  "modified": 1700000000123}, 1)
    add_manifest("revision", "node_A-2", "rev-7", 3, "rev-6",
                 {"name": " spaced name ", "size": 0, "mime": "", "modified": 0}, 4)
    add_manifest("thumbnail", "thumb-node", "f-rev", 0, "",
                 {"name": "thumbnail.jpg", "size": 262144, "mime": "image/jpeg", "modified": 5,
                  "thumbnail": {"version": 1, "sourceNodeId": "node_A-2", "sourceRevisionId": "rev-7",
                                "width": 512, "height": 1}}, 1)

    def add_node(label, **kwargs):
        record = node_record(keys, signer, rng, **kwargs)
        out["nodes"].append({"label": label, "record": record, "name": kwargs["name"],
                             "driveId": kwargs.get("drive_id")})

    add_node("folder with drive", node_id="folder-1", kind="folder", parent_id="root", generation=1, deleted=False,
             name="Projects", drive_id="drive-1")
    add_node("deleted file", node_id="node_A-2", kind="file", parent_id="folder-1", generation=5, deleted=True,
             name="\U0001F600 smile")
    add_node("purged folder", node_id="old", kind="folder", parent_id="root", generation=9, deleted=True,
             name="Old", purged=True)
    return out


def main():
    write("segmented.json", streams())
    write("records.json", records())


if __name__ == "__main__":
    sys.exit(main())
