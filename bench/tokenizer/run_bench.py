#!/usr/bin/python3
"""Throughput of lexbridge against direct C++ and Debian's Python binding.

Generates a corpus of short-story sentences of about 100 tokens each, trains one
unigram model on it with spm_train, then measures encode and decode (one
sentence per call) three ways on the same model and corpus, in this one run:
straight SentencePiece calls from C++, the bridge from Java, and Debian's
python3-sentencepiece. Prints tokens per second and the ratios.

Run through `cmake --build <build> --target bench-tokenizer`, which passes the
paths. Must run under Debian's own /usr/bin/python3, where the binding lives.
"""

import argparse
import os
import random
import re
import subprocess
import sys
import time

SENTENCES = 12000
WORDS_PER_SENTENCE = (80, 100)
VOCAB_SIZE = 4000
SEED = 20240611
# A fixed, pre-touched heap keeps the VM's heap growth (page faults of fresh
# heap memory) out of the bridge's figures; the C++ and Python runs have none.
JVM_OPTIONS = ["-Xms512m", "-Xmx512m", "-XX:+AlwaysPreTouch"]


def make_corpus(path):
    rng = random.Random(SEED)
    syllables = ["ka", "lo", "mi", "ne", "ra", "su", "to", "vi", "an", "el", "or", "um", "ber", "dal",
                 "fin", "gor", "hel", "jas", "kor", "lum", "mar", "nol", "pra", "qui", "ros", "sta",
                 "tre", "ul", "ven", "wil", "xen", "yor", "zan", "ch", "th", "sh", "ing", "ed", "ly"]
    words = sorted({"".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))) for _ in range(6000)})
    rng.shuffle(words)
    # Zipf-like frequencies, as in natural text.
    weights = [1.0 / (rank + 1) for rank in range(len(words))]
    with open(path, "w", encoding="utf-8") as out:
        for _ in range(SENTENCES):
            count = rng.randint(*WORDS_PER_SENTENCE)
            chosen = rng.choices(words, weights, k=count)
            chosen[0] = chosen[0].capitalize()
            out.write(" ".join(chosen) + rng.choice([".", "!", "?", "..."]) + "\n")


def prepare(work, spm_train):
    os.makedirs(work, exist_ok=True)
    corpus = os.path.join(work, "corpus.txt")
    prefix = os.path.join(work, "unigram")
    stamp = os.path.join(work, "ready-{}-{}-{}-{}-{}".format(SEED, SENTENCES, *WORDS_PER_SENTENCE, VOCAB_SIZE))
    if not os.path.exists(stamp):
        for old in os.listdir(work):
            if old.startswith("ready-"):
                os.remove(os.path.join(work, old))
        make_corpus(corpus)
        with open(prefix + ".log", "w") as log:
            subprocess.run([spm_train, f"--input={corpus}", f"--model_prefix={prefix}", "--model_type=unigram",
                            f"--vocab_size={VOCAB_SIZE}", "--num_threads=2"], stdout=log, stderr=log, check=True)
        open(stamp, "w").close()
    return corpus, prefix + ".model"


def parse(line):
    return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}


def run_program(command):
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return parse(result.stdout.strip().splitlines()[-1])


KEYS = ("encode_wall", "decode_wall", "encode_cpu", "decode_cpu")


def best(results):
    top = dict(results[0])
    for r in results[1:]:
        for key in KEYS:
            top[key] = max(top[key], r[key])
    return top


def python_binding(model, corpus, warm_up, passes, repeats):
    import sentencepiece as spm
    sp = spm.SentencePieceProcessor(model_file=model)
    with open(corpus, encoding="utf-8") as f:
        sentences = f.read().splitlines()
    best_time = {key: float("inf") for key in KEYS}

    def record(op, wall_start, cpu_start):
        best_time[op + "_wall"] = min(best_time[op + "_wall"], time.perf_counter() - wall_start)
        best_time[op + "_cpu"] = min(best_time[op + "_cpu"], time.process_time() - cpu_start)

    for n in range(warm_up + passes):
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(repeats):
            ids = [sp.encode(s) for s in sentences]
        if n >= warm_up:
            record("encode", wall, cpu)
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(repeats):
            texts = [sp.decode(i) for i in ids]
        if n >= warm_up:
            record("decode", wall, cpu)
    tokens = sum(len(i) for i in ids)
    result = {key: int(tokens * repeats / best_time[key]) for key in KEYS}
    result.update(sentences=len(sentences), tokens=tokens, check=sum(len(t.encode("utf-8")) for t in texts),
                  version=spm.__version__)
    return result


def main():
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--java", required=True)
    parser.add_argument("--classes", required=True)
    parser.add_argument("--lib", required=True)
    parser.add_argument("--direct", required=True)
    parser.add_argument("--spm-train", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=4, help="corpus repeats per timed pass")
    args = parser.parse_args()

    corpus, model = prepare(args.work, args.spm_train)
    # The machine is shared: rounds interleave the three so a busy moment hits
    # all of them, and the best pass of each stands for what it can do.
    runs = {"direct": [], "bridge": [], "python": []}
    for _ in range(args.rounds):
        runs["direct"].append(run_program([args.direct, model, corpus, "1", str(args.passes), str(args.repeats)]))
        runs["bridge"].append(run_program([args.java, *JVM_OPTIONS, "-cp", args.classes,
                                           "ai.pemrix.sentencepiece.jni.SentencePieceLibraryBench",
                                           args.lib, model, corpus, "2", str(args.passes), str(args.repeats)]))
        runs["python"].append(python_binding(model, corpus, 1, args.passes, args.repeats))
    direct, bridge, python = (best(runs[k]) for k in ("direct", "bridge", "python"))

    for name, result in (("bridge", bridge), ("python", python)):
        if (result["tokens"], result["check"]) != (direct["tokens"], direct["check"]):
            sys.exit(f"{name} disagrees with direct C++: {result} vs {direct}")

    print(f"lexbridge benchmark: {direct['sentences']} sentences, "
          f"{direct['tokens'] / direct['sentences']:.1f} tokens per sentence on average, "
          f"unigram model of {VOCAB_SIZE} pieces; one sentence per call, "
          f"best pass of {args.rounds} interleaved rounds of {args.passes} (each pass: the corpus {args.repeats} times)")
    rows = (("direct C++", direct), ("lexbridge from Java", bridge),
            (f"Python binding {python['version']}", python))
    for clock, title in (("cpu", "per second of process CPU time"), ("wall", "per second of wall time")):
        print(f"\ntokens {title}")
        print(f"{'':24}{'encode':>14}{'decode':>14}")
        for name, r in rows:
            print(f"{name:24}{r['encode_' + clock]:>14,}{r['decode_' + clock]:>14,}")
        for name, base, goal in (("bridge / direct C++", direct, ">= 0.80"), ("bridge / Python", python, "> 1")):
            print(f"{name:24}{bridge['encode_' + clock] / base['encode_' + clock]:>14.2f}"
                  f"{bridge['decode_' + clock] / base['decode_' + clock]:>14.2f}   (goal {goal})")


if __name__ == "__main__":
    main()
