#!/usr/bin/env python3
"""Writes a deterministic benchmark text of about SIZE bytes to standard output.

kinds:
  words    ordinary English-like lines (ASCII), many words ending in "ing"
  letters  UTF-8 lines rich in non-ASCII letters (Latin accents, Greek, Cyrillic, CJK)
"""
import random
import sys

WORDS = ["the", "running", "engine", "is", "matching", "a", "line", "of", "text",
         "while", "singing", "and", "reading", "patterns", "quickly", "going", "home",
         "string", "thing", "for", "every", "long", "morning", "with", "data"]
LETTERS = ["straße", "café", "naïve", "déjà", "über", "señor", "λόγος", "αλφάβητο",
           "привет", "мир", "東京", "漢字", "ümlaut", "Ærø", "Łódź", "text", "plain",
           "ASCII", "12345", "ok"]


def main():
    kind, size = sys.argv[1], int(sys.argv[2])
    words = WORDS if kind == "words" else LETTERS
    rng = random.Random(42)
    out, total = [], 0
    while total < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(6, 14))) + "\n"
        out.append(line)
        total += len(line.encode("utf-8"))
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
