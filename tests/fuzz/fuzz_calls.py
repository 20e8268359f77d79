"""atheris entry for the call fuzzer: each input drives the random choices of
tests/fuzz_harness.py, which builds one call of the four functions and checks it
against the oracle. Any mismatch raises and atheris keeps the input.

    .venv/bin/python tests/fuzz/fuzz_calls.py -max_total_time=300
"""

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

with atheris.instrument_imports():
    import fuzz_harness


def test_one_input(data: bytes) -> None:
    source = fuzz_harness.FuzzedSource(atheris.FuzzedDataProvider(data))
    fuzz_harness.check_call(fuzz_harness.make_call(source))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
