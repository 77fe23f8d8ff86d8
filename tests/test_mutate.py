"""scripts/mutate: its seeded sample repeats exactly, its mutants are named
by the line they change, and every listed equivalent says why."""
import pytest

from support import load_script

mutate = load_script("mutate")
MUTANTS = [("f.cpp:%d: m" % i, "f.cpp", "") for i in range(1000)]


def test_the_seeded_sample_repeats_exactly_on_every_interpreter():
    first = mutate.choose(MUTANTS, 400, 20)
    assert first == mutate.choose(MUTANTS, 400, 20) != mutate.choose(MUTANTS, 400, 21)
    assert len(first) == 400 and first == sorted(first, key=MUTANTS.index)
    # random.Random's sampling is the same on every interpreter the tool runs on.
    assert [d for d, _, _ in first[::80]] == ["f.cpp:%d: m" % i for i in (2, 182, 373, 615, 817)]
    assert mutate.choose(MUTANTS[:10], 400, 20) == MUTANTS[:10]


@pytest.mark.parametrize("mutant, description", [
    ("a\n  B\nc\n", "f.cpp:2: B"),
    ("a\nbreak;\nb\nc\n", "f.cpp:2: break;"),
    ("a\nc\n", "f.cpp:2: (line deleted)"),
])
def test_mutants_are_named_by_the_line_they_change(mutant, description):
    assert mutate.describe("f.cpp", "a\nb\nc\n", mutant) == description


def test_every_equivalent_names_a_mutated_file_and_says_why():
    equivalents = mutate.read_equivalents()  # exits on a line without its reason
    files = set(mutate.mutated_files())
    for description in equivalents:
        assert description.split(":", 1)[0] in files, description
