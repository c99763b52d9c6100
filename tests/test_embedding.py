"""An embedding host that finalizes the interpreter and starts it again gets a
working module each time, with the import guard intact."""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

import pytest

import vantoro

from builders import orbitrap_v66

HOST_SOURCE = os.path.join(os.path.dirname(__file__), "embed_host.c")


def compile_host(out):
    """Builds embed_host.c against the running interpreter's headers and
    library, or skips when this machine has neither compiler nor headers."""
    cc = shutil.which(shlex.split(sysconfig.get_config_var("CC") or "cc")[0]) or shutil.which("cc")
    include = sysconfig.get_paths()["include"]
    if not cc:
        pytest.skip("no C compiler")
    if not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("no Python headers for this interpreter")

    def var(name):
        return sysconfig.get_config_var(name) or ""

    # The shared libpython lives in LIBDIR; LIBPL may hold a static one as well.
    libdir = var("LIBDIR") if var("Py_ENABLE_SHARED") else var("LIBPL")
    cmd = [cc, "-o", out, HOST_SOURCE, "-I" + include, "-L" + libdir, "-Wl,-rpath," + libdir]
    cmd += ["-lpython" + var("LDVERSION")] + shlex.split(var("LIBS")) + shlex.split(var("SYSLIBS"))
    cmd += shlex.split(var("LINKFORSHARED"))  # the host exports the C API to the extension
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        pytest.skip("cannot build an embedding host here: " + res.stderr[-2000:])


def test_three_rounds_of_initialize_import_read_finalize(tmp_path):
    host = str(tmp_path / "embed_host")
    compile_host(host)
    path = orbitrap_v66(num_peaks=20, block_stride=1000).write(tmp_path / "orbitrap.raw")
    env = dict(
        os.environ,
        PYTHONHOME=sys.base_prefix,
        PYTHONPATH=os.pathsep.join([os.path.dirname(vantoro.__file__), os.path.dirname(__file__)]),
    )
    res = subprocess.run([host, path], capture_output=True, text=True, env=env, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.split("\n")[:3] == ["round 1 ok", "round 2 ok", "round 3 ok"]
