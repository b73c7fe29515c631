#!/usr/bin/env python3
"""Writes a deterministic fortunes file for the benchmarks.

Usage: gen-fortunes.py [--records N] [--out PATH]
Default: 1,000,000 records into $BENCH_DATA/fortunes-1m.txt (bench/out if unset).
Prints the path of the file. Next to it, PATH.json records how it was made
and the expected answers:
  records        number of records (separator lines)
  term           the planted term ("ärgernis")
  term_records   records holding it, in mixed letter case; each holds it
                 exactly once, on one line, so a line count finds the same number
  bytes          file size
An existing file made with the same settings is reused.

Records: about 120 bytes of German, French and English words (with umlauts,
accents, upper-case variants), one to four lines, each line ended by CR LF,
then the separator line and CR LF.
"""
import argparse
import json
import os
import random
import sys

SEPARATOR = "||||||||||##########||||||||||"
TERM = "ärgernis"
TERM_FORMS = ["Ärgernis", "ärgernis", "ÄRGERNIS", "ÄrgerNis", "äRGERNIS"]
PLANT_EVERY = 97  # one record in 97 holds the term
VERSION = 2

WORDS = (
    "der die das und ist nicht ein eine zu mit auf für über Über ÜBER schön Schön "
    "Mädchen Größe Straße Bär Köln Zürich Ärger ärgerlich ÄRGER Öl öffnen Tür müde "
    "grün fünf Glück glücklich Gefühl Wörter Bücher Häuser Äpfel Übung Ökonomie "
    "le la les et est pas un une été Été ÉTÉ déjà garçon français Français cœur "
    "noël élève Éléphant château forêt où très après même fenêtre hôtel naïve "
    "the of and to in is it you that he was for on are as with his they at be "
    "this have from or one had by word but not what all were we when your can "
    "said there use each which she do how their if will up other about out many "
    "then them these so some her would make like him into time has look two more "
    "fortune cookie wisdom life love truth Time Life Love TRUTH never always"
).split()


def make(records, path, seed=20240601):
    rnd = random.Random(seed)
    choices = rnd.choices
    randint = rnd.randint
    planted = 0
    sep = (SEPARATOR + "\r\n").encode()
    out = open(path + ".part", "wb", buffering=4 * 1024 * 1024)
    batch = []
    for i in range(records):
        words = choices(WORDS, k=randint(17, 26))
        if i % PLANT_EVERY == 13:
            words[randint(0, len(words) - 1)] = TERM_FORMS[(i // PLANT_EVERY) % len(TERM_FORMS)]
            planted += 1
        nlines = randint(1, 4)
        per = max(1, len(words) // nlines)
        lines = [" ".join(words[k:k + per]) for k in range(0, len(words), per)]
        batch.append(("\r\n".join(lines) + "\r\n").encode() + sep)
        if len(batch) >= 10000:
            out.write(b"".join(batch))
            batch.clear()
    out.write(b"".join(batch))
    out.close()
    os.replace(path + ".part", path)
    return planted


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--out")
    args = ap.parse_args()
    data = os.environ.get("BENCH_DATA") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
    path = args.out or os.path.join(data, "fortunes-1m.txt" if args.records == 1_000_000
                                    else "fortunes-%d.txt" % args.records)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    meta_path = path + ".json"
    try:
        with open(meta_path) as f:
            meta = json.load(f)
        if (meta.get("version") == VERSION and meta.get("records") == args.records
                and os.path.getsize(path) == meta.get("bytes")):
            print(path)
            return
    except (OSError, ValueError):
        pass
    planted = make(args.records, path)
    meta = {"version": VERSION, "records": args.records, "term": TERM,
            "term_records": planted, "bytes": os.path.getsize(path)}
    with open(meta_path, "w") as f:
        json.dump(meta, f)
    print(path)


if __name__ == "__main__":
    sys.exit(main())
