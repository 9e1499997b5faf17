#!/usr/bin/env python3
"""Replays saved fuzz inputs (fuzz/corpus/<harness>/ and fuzz/regressions/)
through the harnesses without the fuzzer, e.g. under valgrind:

    python3 fuzz/replay.py [harness ...]
"""
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def inputs(harness):
    folders = [os.path.join(HERE, "corpus", harness), os.path.join(HERE, "regressions")]
    for folder in folders:
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if folder.endswith("regressions") and not name.startswith(harness + "-"):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                yield f.read()


def main(harnesses):
    for harness in harnesses or ["master", "tcp_master", "codec"]:
        test_one_input = importlib.import_module("fuzz_" + harness).test_one_input
        count = 0
        for data in inputs(harness):
            test_one_input(data)
            count += 1
        print(f"replay: {harness}: {count} inputs agree with the model")


if __name__ == "__main__":
    main(sys.argv[1:])
