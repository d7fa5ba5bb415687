"""The pluvo command: its commands and their help, wrong usage, what `pluvo info` imports, and
`pluvo samples`, which writes the sample files bit for bit."""

import importlib.metadata
import json
import pathlib
import subprocess
import sys

import pytest

from pluvo_tools.cli import COMMANDS, main
from pluvo_tools.samples import FILES

DATA = pathlib.Path(__file__).resolve().parent / "data"


def pluvo(*args, code="from pluvo_tools.cli import main; sys.exit(main())"):
    return subprocess.run(
        [sys.executable, "-c", f"import sys\n{code}", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_help_lists_every_command(capsys):
    with pytest.raises(SystemExit) as exited:
        main(["--help"])
    assert exited.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith("usage: pluvo ")
    for name in COMMANDS:
        assert f"    {name} " in out.replace("\n", " ")


@pytest.mark.parametrize("name", COMMANDS)
def test_command_help(capsys, name):
    with pytest.raises(SystemExit) as exited:
        main([name, "--help"])
    assert exited.value.code == 0
    assert capsys.readouterr().out.startswith(f"usage: pluvo {name} ")


@pytest.mark.parametrize(
    ("args", "message"),
    [([], "a command is needed"), (["inspect"], "invalid choice: 'inspect'")],
)
def test_wrong_usage(capsys, args, message):
    with pytest.raises(SystemExit) as exited:
        main(args)
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: pluvo ") and message in err


def test_version():
    result = pluvo("--version")
    assert result.returncode == 0, result.stderr
    try:
        expected = importlib.metadata.version("pluvo")
    except importlib.metadata.PackageNotFoundError:  # run from a checkout
        expected = "unknown (not installed)"
    assert result.stdout == f"pluvo {expected}\n"


def test_info_imports_no_other_command():
    code = (
        "from pluvo_tools.cli import main\n"
        "status = main(sys.argv[1:])\n"
        "optional = ['dask', 'distributed', 'pyarrow', 'polars', 'matplotlib', 'tqdm']\n"
        "print(json.dumps([status, sorted(set(optional) & set(sys.modules))]))\n"
    )
    result = pluvo("info", DATA / "sample.wd1", code=f"import json\n{code}")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [0, []]


def test_output_cut_short_quietly():
    # Many summaries, so that output is still being written when the reader has gone.
    command = [sys.executable, "-m", "pluvo_tools", "info", *[DATA / "sample.wd1"] * 200]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout.readline().endswith(b"(WD1)\n")
        process.stdout.close()
        assert process.wait(timeout=300) == 1
        assert process.stderr.read() == b""


def test_samples_bit_for_bit(capsys, tmp_path):
    out_dir = tmp_path / "new" / "samples"
    assert main(["samples", str(out_dir)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{out_dir / name}: {(DATA / name).stat().st_size} bytes" for name in FILES
    ]
    assert sorted(path.name for path in out_dir.iterdir()) == sorted(FILES)
    for name in FILES:
        assert (out_dir / name).read_bytes() == (DATA / name).read_bytes(), name
    assert sum((DATA / name).stat().st_size for name in FILES) < 1 << 20


def test_samples_into_a_file(capsys, tmp_path):
    occupied = tmp_path / "occupied"
    occupied.write_bytes(b"")
    assert main(["samples", str(occupied)]) == 1
    assert capsys.readouterr().err == f"pluvo samples: {occupied}: File exists\n"
