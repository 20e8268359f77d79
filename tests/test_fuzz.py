"""Random calls of the four functions against the oracle of fuzz_harness.py.

Every call must return exactly what the slow float32 model computes from the
documented conversions, or raise exactly the documented exception. The same
harness runs under atheris with `make fuzz`; VELK_FUZZ_CALLS sets how many
seeded calls each test makes here.
"""

import os

import pytest

import fuzz_harness

CALLS = int(os.environ.get("VELK_FUZZ_CALLS", "4000"))


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_calls_match_the_oracle(seed):
    outcomes = fuzz_harness.run_random(seed, CALLS // 4)
    # The generator must reach both sides of the contract, or the test proves little.
    assert outcomes.get("value", 0) > CALLS // 40
    assert sum(n for kind, n in outcomes.items() if kind.startswith("error:")) > CALLS // 40
