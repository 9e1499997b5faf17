"""Replays saved fuzz inputs (fuzz/corpus/<harness>/ and fuzz/regressions/)
through the harnesses without the fuzzer, e.g. under valgrind:

    python3 -m fuzz.replay [harness ...]
"""
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESSES = ["master", "tcp_master", "mbap_channel", "codec"]


def inputs(harness):
    """(path, bytes) of every saved input of one harness."""
    folders = [os.path.join(HERE, "corpus", harness), os.path.join(HERE, "regressions")]
    for folder in folders:
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if folder.endswith("regressions") and not name.startswith(harness + "-"):
                continue
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                yield path, f.read()


def main(harnesses):
    for harness in harnesses or HARNESSES:
        test_one_input = importlib.import_module("fuzz.fuzz_" + harness).test_one_input
        count = 0
        for _, data in inputs(harness):
            test_one_input(data)
            count += 1
        print(f"replay: {harness}: {count} inputs agree with the model")


if __name__ == "__main__":
    main(sys.argv[1:])
