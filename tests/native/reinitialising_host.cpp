// An application that embeds the interpreter: it runs the script given as its
// one argument in an interpreter, finalises that interpreter, and does the
// same again in a new one, all in the one process. Exits 1 as soon as a
// script raises or a finalisation fails.
#include <Python.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    for (int lifetime = 0; lifetime < 2; ++lifetime) {
        Py_Initialize();
        const int raised = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() != 0 || raised != 0) {
            return 1;
        }
    }
    return 0;
}
