#!/usr/bin/env python3
"""Writes the name-clash keys of a table of names, from Python's own Unicode
data: canonical composition (NFC), Python's full lower-casing (str.lower,
which applies the multi-character and final-sigma mappings), composed again.

Run once; the output is committed and the tests need no Python.

    tools/vectors/make_name_keys.py
"""
import json
import os
import unicodedata

OUT = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "platform", "core", "fixtures")

NAMES = [
    "Report.PDF",
    "CAFE\u0301",                 # decomposed accent
    "Stra\u00dfe",                # sharp s stays (lower-casing, not folding)
    "\u1e9e",                     # capital sharp s
    "\u0130",                     # capital I with dot above
    "\u0130stanbul.txt",
    "i\u0307stanbul.txt",
    "I",
    "\u039f\u0394\u039f\u03a3",   # word ending in capital sigma
    "\u039f\u0394\u039f\u03a3.txt",  # sigma before ".txt": not at the end of the word
    "\u03a3",                     # sigma alone
    "\u03a3\u0391",               # sigma first
    "\u0391\u03a3 \u0392",        # sigma before a space
    "\u0391.\u03a3",              # a case-ignorable full stop before it
    "\u0391\u03a3'\u0391",        # an apostrophe between cased letters
    "\u0391\u03a3\u0301",         # an accent after it
    "\u0391\u03a3\u0301 x",
    "1\u03a3",                    # a digit is not cased
    "\u039f\u0394\u039f\u03c3",   # small sigma at the end stays
    "\u01c5",                     # title-case digraph
    "\u24b6\u24d0",               # circled letters
    "\u216b",                     # Roman numeral twelve
    "\u212a",                     # Kelvin sign
    "\u2126",                     # Ohm sign
    "\u00c5ngstr\u00f6m",
    "\ufb00",                     # ligature ff stays
    "\u00aa\u03a3",               # feminine ordinal is cased
]


def key(name):
    return unicodedata.normalize("NFC", unicodedata.normalize("NFC", name).lower())


def main():
    os.makedirs(OUT, exist_ok=True)
    table = [{"name": n, "key": key(n)} for n in NAMES]
    with open(os.path.join(OUT, "name-clash-keys.json"), "w", encoding="utf-8") as f:
        json.dump({"unicode": unicodedata.unidata_version, "cases": table}, f, ensure_ascii=True, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
