#!/usr/bin/env python3
"""A back end whose entry does not have the signature the implementation interface declares does
not compile, in C and in C++; the same back end with the right signature does.

    wrong_signature_test.py C_COMPILER CXX_COMPILER INCLUDE_DIR
"""
import os
import subprocess
import sys
import tempfile
import unittest

C_COMPILER, CXX_COMPILER, INCLUDE = sys.argv[1:4]

RIGHT_CXX = "TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* f, int& size, int* es, wchar_t** em) { (void)f; (void)es; (void)em; size = 0; return nullptr; }\n"
WRONG_CXX = "TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* f, int* size, int* es, wchar_t** em) { (void)f; (void)es; (void)em; (void)size; return nullptr; }\n"
RIGHT_C = "TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* f, int* size, int* es, wchar_t** em) { (void)f; (void)es; (void)em; *size = 0; return NULL; }\n"
WRONG_C = "TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* f, double size, int* es, wchar_t** em) { (void)f; (void)es; (void)em; (void)size; return NULL; }\n"


def compile_backend(compiler, language, body):
    suffix, standard = (".c", "-std=c11") if language == "c" else (".cpp", "-std=c++17")
    with tempfile.TemporaryDirectory() as directory:
        source = os.path.join(directory, "backend" + suffix)
        with open(source, "w") as fh:
            fh.write('#include "tvx/implementation.h"\n' + body)
        p = subprocess.run([compiler, standard, "-Wall", "-Wextra", "-pedantic", "-Werror", "-fsyntax-only",
                            "-I", INCLUDE, source], capture_output=True, text=True)
        return p.returncode, p.stderr


class WrongSignature(unittest.TestCase):
    def check(self, compiler, language, right, wrong):
        status, err = compile_backend(compiler, language, right)
        self.assertEqual(status, 0, err)
        status, err = compile_backend(compiler, language, wrong)
        self.assertNotEqual(status, 0, "a wrong signature compiled")
        self.assertIn("CSField_GetData", err)
        self.assertRegex(err, "conflicting")

    def test_cxx(self):
        self.check(CXX_COMPILER, "c++", RIGHT_CXX, WRONG_CXX)

    def test_c(self):
        self.check(C_COMPILER, "c", RIGHT_C, WRONG_C)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
