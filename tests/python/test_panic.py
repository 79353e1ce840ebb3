"""Internal errors reach Python as PanicException, a BaseException.

The only internal error a caller can provoke without corrupting memory is a
wall clock set before 1970; a tiny preloaded library fakes one on demand.
"""

import os
import shutil
import subprocess

import pytest

from conftest import run_python, running_under_asan

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>

static int before_epoch;

void set_before_epoch(int on) { before_epoch = on; }

int clock_gettime(clockid_t clock, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  int result = real(clock, ts);
  if (before_epoch && clock == CLOCK_REALTIME) ts->tv_sec = -86400;
  return result;
}
"""


@pytest.fixture(scope="module")
def clock_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the clock shim")
    if running_under_asan():
        pytest.skip("the sanitizer runtime must stay the only preloaded library")
    directory = tmp_path_factory.mktemp("shim")
    source = directory / "clock_shim.c"
    source.write_text(SHIM)
    library = directory / "clock_shim.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], check=True
    )
    return library


def test_clock_before_epoch_raises_panic_exception(clock_shim):
    result = run_python(
        f"""
        import ctypes
        import orlo_kiv
        shim = ctypes.CDLL({str(clock_shim)!r})
        index = orlo_kiv.KivIndex.cosine(2)
        index.add([1.0, 0.0])
        shim.set_before_epoch(1)
        try:
            index.add([0.0, 1.0])
        except Exception:
            print("caught by except Exception")
        except BaseException as error:
            kind = type(error)
            print(kind.__module__ + "." + kind.__qualname__, kind.__bases__ == (BaseException,))
            print(error.args[0].startswith("called `Result::unwrap()` on an `Err` value: "),
                  len(error.args))
            print(bool(kind.__doc__) and "BaseException" in kind.__doc__)
            print(hasattr(orlo_kiv, "PanicException"))
        shim.set_before_epoch(0)
        index.add([0.0, 1.0])
        print(len(index), index.stats())
    """,
        env={**os.environ, "LD_PRELOAD": str(clock_shim)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "pyo3_runtime.PanicException True",
        "True 1",
        "True",
        "False",
        "2 KivStats(points=2, sessions=1, documents=1, chunks=2)",
    ]
    assert "orlo_kiv: internal error" in result.stderr
