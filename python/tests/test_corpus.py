"""The package and the C++ command agree on every input the fuzzers keep: the same files read,
with the same shape, and the same defect at the same offset for the rest."""

import json
import subprocess

import numpy as np
import pytest

import binmat


def command_record(tool, path, order):
    result = subprocess.run(
        [tool, "info", "--json", "--byte-order", order, path],
        capture_output=True,
        text=True,
        timeout=60,
    )
    return json.loads(result.stdout)


def independent_decoding(data, order, rows, columns):
    floats = np.frombuffer(data[: 4 * (columns + 1) * (rows + 1)], dtype=order + "f4")
    table = floats[columns + 1 :].reshape(rows, columns + 1)
    return table[:, 1:], table[:, 0], floats[1 : columns + 1]


@pytest.mark.parametrize("order", ["little", "big"])
def test_package_and_command_agree_across_the_fuzz_corpus(binmat_tool, fuzz_inputs, order):
    files = fuzz_inputs
    assert len(files) > 40
    accepted = 0
    for path in files:
        expected = command_record(binmat_tool, path, order)
        if expected["ok"]:
            g = binmat.read(path, byte_order=order)
            assert g.values.shape == (expected["rows"], expected["columns"]), path
            assert binmat.header(path, byte_order=order).stray == expected["stray_bytes"], path
            values, rows, columns = independent_decoding(
                path.read_bytes(), "<" if order == "little" else ">", *g.values.shape
            )
            assert g.values.tobytes() == values.astype(np.float32).tobytes(), path
            assert g.row_coordinates.tobytes() == rows.astype(np.float32).tobytes(), path
            assert g.column_coordinates.tobytes() == columns.astype(np.float32).tobytes(), path
            accepted += 1
        else:
            with pytest.raises(binmat.FormatError) as caught:
                binmat.read(path, byte_order=order)
            assert caught.value.problem == expected["problem"], path
            assert caught.value.offset == expected["offset"], path
    assert 0 < accepted < len(files)
