#!/usr/bin/env python3
"""The stub corrector against widl's real output of update_rpc.idl and against
altered copies of it: a widl whose output is not the known one must stop the
build, and nothing half-corrected may be written.

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
        self.client = read(WIDL_CLIENT)
        self.server = read(WIDL_SERVER)

    def tearDown(self):
        self.folder.cleanup()

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def run_corrector(self, client, server):
        with open(self.path("in_c.c"), "w") as f:
            f.write(client)
        with open(self.path("in_s.c"), "w") as f:
            f.write(server)
        return subprocess.run([sys.executable, CORRECTOR, self.path("in_c.c"), self.path("in_s.c"),
                               self.path("out_c.c"), self.path("out_s.c")], capture_output=True, text=True)

    def assert_refused(self, client, server, reason):
        result = self.run_corrector(client, server)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(reason, result.stderr)
        self.assertFalse(os.path.exists(self.path("out_c.c")))
        self.assertFalse(os.path.exists(self.path("out_s.c")))

    def test_known_output_becomes_a_sync_client_and_an_async_server(self):
        result = self.run_corrector(self.client, self.server)
        self.assertEqual(result.returncode, 0, result.stderr)
        client, server = read(self.path("out_c.c")), read(self.path("out_s.c"))
        self.assertIn("#define PROC_FORMAT_STRING_SIZE 43\n", client)
        self.assertIn("#define PROC_FORMAT_STRING_SIZE 43\n", server)
        self.assertIn("    NdrAsyncServerCall,\n", server)
        self.assertNotIn("NdrServerCall2", server)
        self.assertIn("(void *)UpdateRpcServerInvoke,", server)
        self.assertNotIn("NdrAsyncServerCall", client)
        # The same input gives the same files: the build step is reproducible.
        self.run_corrector(self.client, self.server)
        self.assertEqual(read(self.path("out_c.c")), client)
        self.assertEqual(read(self.path("out_s.c")), server)

    def test_any_other_output_is_refused(self):
        # Tables, dispatch entry and routine differing from the known widl
        # output (a widl that already typed the reply by its outer pointer is a
        # new widl), stubs corrected once already, and no tables at all.
        head, table = self.server.split("__MIDL_TypeFormatString =", 1)
        self.assertEqual(self.run_corrector(self.client, self.server).returncode, 0)
        once_client, once_server = read(self.path("out_c.c")), read(self.path("out_s.c"))
        os.remove(self.path("out_c.c"))
        os.remove(self.path("out_s.c"))
        cases = [
            (self.client.replace("NdrFcShort(0xa),\t/* type offset = 10 */", "NdrFcShort(0x6),"), self.server,
             "__MIDL_ProcFormatString differs from the known widl output"),
            (self.client, head + "__MIDL_TypeFormatString =" + table.replace("0x5c", "0x5d", 1),
             "__MIDL_TypeFormatString differs from the known widl output"),
            (self.client, self.server.replace("    NdrServerCall2,\n", "    NdrStubCall2,\n"),
             "expected exactly one dispatch entry"),
            (self.client, self.server.replace("(void *)Invoke,", "(void *)Invoke2,"),
             "expected exactly one server routine table"),
            (once_client, once_server, "expected exactly one proc size"),
            ("", self.server, "expected exactly one proc size"),
        ]
        for client, server, reason in cases:
            with self.subTest(reason=reason):
                self.assertNotEqual((client, server), (self.client, self.server))
                self.assert_refused(client, server, reason)


if __name__ == "__main__":
    unittest.main()
