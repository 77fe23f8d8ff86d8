/* An application that embeds Python and starts its interpreter afresh, as
 * plugin hosts and test harnesses do: ROUNDS times Py_Initialize, run
 * SCRIPT, Py_FinalizeEx. It fails on the first round whose script raises
 * or whose finalisation reports an error, saying which.
 *
 * Usage: embed_host ROUNDS SCRIPT (the script reads the round as `ROUND`). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS SCRIPT\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    for (int round = 1; round <= rounds; ++round) {
        Py_Initialize();
        PyObject *main_module = PyImport_AddModule("__main__");
        PyObject *number = main_module ? PyLong_FromLong(round) : NULL;
        if (!number || PyObject_SetAttrString(main_module, "ROUND", number) < 0) {
            PyErr_Print();
            fprintf(stderr, "round %d: could not set ROUND\n", round);
            return 1;
        }
        Py_DECREF(number);
        if (PyRun_SimpleString(argv[2]) != 0) {
            fprintf(stderr, "round %d: the script failed\n", round);
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            fprintf(stderr, "round %d: Py_FinalizeEx failed\n", round);
            return 1;
        }
        printf("round %d done\n", round);
        fflush(stdout);
    }
    return 0;
}
