"""Picks the seed set kept in fuzz/corpus/<harness>/ out of a larger corpus:
the fewest inputs, chosen greedily, that reach every coverage edge the
whole corpus reaches, each named after what it exercises. The coverage
comes from a libFuzzer set-cover merge over the corpus, run on the
instrumented build that .ci/fuzz makes:

    LD_PRELOAD=build/fuzz/asan_with_fuzzer.so PYTHONPATH=build/fuzz:. python3 -m fuzz.fuzz_master \\
        -set_cover_merge=1 -merge_control_file=build/fuzz/master.ctl build/fuzz/merged build/fuzz/corpus/master \\
        fuzz/corpus/master
    PYTHONPATH=build/fuzz:. python3 -m fuzz.seeds master build/fuzz/master.ctl

(the native harness likewise, with build/fuzz/answer_rules_fuzzer).
"""
import argparse
import errno
import importlib
import os
import re
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def coverage(control_file):
    """{path: set of features} from a set-cover merge's control file, where
    every input lists all of its features."""
    lines = open(control_file).read().split("\n")
    count = int(lines[0])
    paths = lines[2:2 + count]
    features = {}
    for line in lines[2 + count:]:
        parts = line.split()
        if parts and parts[0] == "FT":
            features[paths[int(parts[1])]] = set(map(int, parts[2:]))
    return features


def pick(features, at_most):
    """Greedy set cover on edges (a feature is an edge's counter bucket:
    eight to an edge), ties broken by features."""
    edges = {path: {f // 8 for f in fts} for path, fts in features.items()}
    everything = set().union(*edges.values()) if edges else set()
    chosen, have_edges, have_features = [], set(), set()
    while len(chosen) < at_most and have_edges != everything:
        best = max((p for p in edges if p not in chosen),
                   key=lambda p: (len(edges[p] - have_edges), len(features[p] - have_features), -os.path.getsize(p)))
        chosen.append(best)
        have_edges |= edges[best]
        have_features |= features[best]
    print(f"seeds: {len(chosen)} inputs reach {len(have_edges)} of {len(everything)} edges")
    return chosen


SLUGS = [("read from slave timeout", "timeout"), ("crc error", "crc-error"), ("odd byte count", "odd-count"),
         ("closed by the peer", "peer-closed"), ("does not match", "mismatch"), ("timed out", "silence"),
         ("invalid coil type", "bad-coil-type"), ("must be less than 128", "too-many")]
ROADS = {"tunnel through the instance": "tunnel-instance", "tunnel with the class's crc check replaced":
         "tunnel-class-crc"}


def outcome_slug(result):
    if result[0] == "ok":
        return "ok"
    exc = result[1]
    for text, slug in SLUGS:
        if text in str(exc):
            return slug
    if type(exc).__name__ == "SlaveException":
        return "exception-answer"
    if isinstance(exc, OSError) and exc.errno in errno.errorcode:
        return errno.errorcode[exc.errno].lower()
    if isinstance(exc, struct.error):
        return "struct-error"
    return re.sub(r"(?<!^)([A-Z])", r"-\1", type(exc).__name__).lower().replace("-error", "")


def describe(harness, data):
    """A name for a Python harness's input: its road, then the first call
    that did not return (else the last) and how it ended."""
    module = importlib.import_module("fuzz.fuzz_" + harness)
    seen, check_same = [], module.check_same

    def recording(got, want, texts_matter, what):
        seen.append((what, got))
        return check_same(got, want, texts_matter, what)

    module.check_same = recording
    try:
        module.test_one_input(data)
    finally:
        module.check_same = check_same
    parts = []
    if harness == "master" and seen:
        road = seen[0][0].split(":")[0]
        parts.append(ROADS.get(road, road))
        seen = [(what.split(": ", 1)[1], got) for what, got in seen]
    what, got = next(((w, g) for w, g in seen if g[0] == "raised"), seen[-1] if seen else ("nothing(", ("ok", None)))
    parts += [what.split("(")[0].replace("FixMaster.", "fix-").replace("_Master__", "").strip("_"), outcome_slug(got)]
    return "-".join(parts).replace("_", "-")


NATIVE_CHECKS = ["crc", "frames", "answer", "mbap"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("harness")
    parser.add_argument("control_file")
    parser.add_argument("--at-most", type=int, default=60)
    args = parser.parse_args()
    chosen = pick(coverage(args.control_file), args.at_most)
    folder = os.path.join(HERE, "corpus", args.harness)
    names = {}
    for path in chosen:
        with open(path, "rb") as f:
            data = f.read()
        if args.harness == "answer_rules":
            name = NATIVE_CHECKS[data[0] % 4] if data else "empty"
        else:
            name = describe(args.harness, data)
        names.setdefault(name, []).append(data)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, inputs in sorted(names.items()):
        for i, data in enumerate(inputs, 1):
            with open(os.path.join(folder, name if len(inputs) == 1 else f"{name}-{i}"), "wb") as f:
                f.write(data)
    print(f"seeds: {len(chosen)} written to {folder}")


if __name__ == "__main__":
    main()
