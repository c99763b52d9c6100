/* An embedding host that starts and ends the interpreter three times in one
 * process. Each round imports vantoro, reads the file named by argv[1],
 * checks that a second import in the same interpreter returns the same
 * module and that a concurrent sub-interpreter is refused, then finalizes.
 * Prints "round N ok" per finished round; any failure ends with status 1. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

static const char round_code[] =
    "import sys, vantoro\n"
    "r = vantoro.RawFileReader(PATH)\n"
    "assert r.num_scans == 145, r.num_scans\n"
    "assert r.get_rt(2) == 1.0, r.get_rt(2)\n"
    "mz, intensity = r.native_get_peaks(1)\n"
    "assert len(mz) == len(intensity) == 20, len(mz)\n"
    "r.initialize_caches()\n"
    "del sys.modules['vantoro']\n"
    "import vantoro as again\n"
    "assert again is vantoro and again.__all__ == ['RawFileReader']\n";

static const char sub_code[] =
    "try:\n"
    "    import vantoro\n"
    "except ImportError as e:\n"
    "    assert 'sub-interpreters' in str(e), e\n"
    "else:\n"
    "    raise AssertionError('a concurrent sub-interpreter imported vantoro')\n";

static int run_round(const char *path) {
    PyObject *main_module = PyImport_AddModule("__main__"); /* borrowed */
    PyObject *py_path = PyUnicode_DecodeFSDefault(path);
    if (!main_module || !py_path || PyObject_SetAttrString(main_module, "PATH", py_path) < 0) {
        Py_XDECREF(py_path);
        PyErr_Print();
        return -1;
    }
    Py_DECREF(py_path);
    if (PyRun_SimpleString(round_code) != 0) return -1;

    PyThreadState *main_state = PyThreadState_Get();
    PyThreadState *sub = Py_NewInterpreter();
    if (!sub) {
        fprintf(stderr, "no sub-interpreter\n");
        return -1;
    }
    int rc = PyRun_SimpleString(sub_code);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_state);
    return rc;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        int rc = run_round(argv[1]);
        if (Py_FinalizeEx() < 0 || rc != 0) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        printf("round %d ok\n", round);
        fflush(stdout);
    }
    return 0;
}
