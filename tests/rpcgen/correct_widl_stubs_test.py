#!/usr/bin/env python3
"""The stub corrector against widl's real output of update_rpc.idl and against
altered copies of it: a widl whose output is not the known one must stop the
build, and nothing half-corrected may be written. Whether the corrected stubs
are right shows on the wire, in the RPC tests.

    correct_widl_stubs_test.py CORRECTOR WIDL_CLIENT_C WIDL_SERVER_C
"""
import os
import subprocess
import sys
import tempfile
import unittest

CORRECTOR, WIDL_CLIENT, WIDL_SERVER = sys.argv[1:4]
del sys.argv[1:4]


def read(path):
    with open(path) as f:
        return f.read()


class Corrector(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.outputs = [os.path.join(self.folder.name, name) for name in ("out_c.c", "out_s.c")]

    def run_corrector(self, client, server):
        inputs = [os.path.join(self.folder.name, name) for name in ("in_c.c", "in_s.c")]
        for path, text in zip(inputs, (client, server)):
            with open(path, "w") as f:
                f.write(text)
        result = subprocess.run([sys.executable, CORRECTOR] + inputs + self.outputs, capture_output=True, text=True)
        written = [read(path) for path in self.outputs if os.path.exists(path)]
        for path in self.outputs:
            if os.path.exists(path):
                os.remove(path)
        return result, written

    def test_known_output_is_corrected_alike_every_time_and_any_other_refused(self):
        client, server = read(WIDL_CLIENT), read(WIDL_SERVER)
        (first, corrected), (second, again) = self.run_corrector(client, server), self.run_corrector(client, server)
        self.assertEqual((first.returncode, second.returncode), (0, 0), first.stderr)
        self.assertIn("    NdrAsyncServerCall,\n", corrected[1])
        self.assertNotIn("NdrAsyncServerCall", corrected[0])
        self.assertEqual(again, corrected)
        # Tables, dispatch entry and routine differing from the known widl
        # output (a widl that already typed the reply by its outer pointer is a
        # new widl), stubs corrected once already, and no tables at all.
        head, table = server.split("__MIDL_TypeFormatString =", 1)
        cases = [
            (client.replace("NdrFcShort(0xa),\t/* type offset = 10 */", "NdrFcShort(0x6),"), server,
             "__MIDL_ProcFormatString differs from the known widl output"),
            (client, head + "__MIDL_TypeFormatString =" + table.replace("0x5c", "0x5d", 1),
             "__MIDL_TypeFormatString differs from the known widl output"),
            (client, server.replace("    NdrServerCall2,\n", "    NdrStubCall2,\n"), "expected exactly one dispatch entry"),
            (client, server.replace("(void *)Invoke,", "(void *)Invoke2,"), "expected exactly one server routine table"),
            (corrected[0], corrected[1], "expected exactly one proc size"),
            ("", server, "expected exactly one proc size"),
        ]
        for altered_client, altered_server, reason in cases:
            with self.subTest(reason=reason):
                self.assertNotEqual((altered_client, altered_server), (client, server))
                result, written = self.run_corrector(altered_client, altered_server)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertEqual(written, [])


if __name__ == "__main__":
    unittest.main()
