/* An embedding program that starts the interpreter, uses tarv, finalizes,
 * and does it all again (three rounds): each runtime must get a working
 * module of its own. Exits non-zero on the first failure. */
#include <Python.h>

static const char kRound[] =
    "import gc, sys, types, tarv\n"
    "t = [['ab', '\\U0001F600'], [], ['x' * 20, 5]]\n"
    "s = tarv.stringify(t)\n"
    "assert s == '02ab02\\U0001F600;;120' + 'x' * 20 + '015;', s\n"
    "assert tarv.parse(s) == [['ab', '\\U0001F600'], [], ['x' * 20, '5']]\n"
    "try:\n"
    "    tarv.parse('')\n"
    "except SyntaxError as e:\n"
    "    assert str(e) == 'Unexpected end of input', e\n"
    "assert tarv.parse.__name__ == 'parse' and type(tarv.parse).__module__ == 'tarv'\n"
    "assert repr(tarv.stringify).startswith('<function stringify at ')\n"
    "assert types.FunctionType(tarv.parse.__code__, vars(tarv))('01a;') == [['a']]\n"
    "tarv.HEX = 'ZYXWVUTSRQPONMLK'\n"
    "assert tarv.stringify([['a']]) == 'Z1a;'\n"
    "gc.collect()\n"
    "print('round ok')\n";

int main(void) {
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(kRound) != 0) return 1;
    if (Py_FinalizeEx() < 0) return 2;
  }
  return 0;
}
