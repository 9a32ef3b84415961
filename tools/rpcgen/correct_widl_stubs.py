#!/usr/bin/env python3
"""Mends widl's -Oif stubs of the UpdateRpc interface and derives the async server stub.

widl (7.0 and 8.0) gets two things wrong on the wire for our procedure
    void Invoke([in] handle_t binding, [in, string, ref] const wchar_t *request,
                [out] UpdateRpcReply *response);   // UpdateRpcReply: [unique, string] wchar_t *
  1. the explicit handle_t is described by the FC_BIND_PRIMITIVE header AND listed
     again as a 4-byte [in] FC_LONG parameter, so 4 extra bytes go on the wire;
  2. the [out] parameter's type offset names the inner FC_UP entry instead of the
     outer FC_RP [allocated_on_stack][pointer_deref] entry, so replies are garbled.
widl also cannot declare a procedure [async]. The async server stub differs from the
sync one only in its dispatch entry (NdrAsyncServerCall), the interpreter flag
HasAsyncHandle, and one extra pointer (the PRPC_ASYNC_STATE) in front of the
server routine's arguments: stack size and every stack offset move by 8 bytes.

The script checks that widl produced exactly the tables it knows, byte for byte, and
stops with an error otherwise: a new widl must be looked at, not patched blindly.
"""
import re
import sys

POINTER = 8  # x64

# widl's proc format string for Invoke, as emitted (49 bytes).
WIDL_PROC = bytes([
    0x00, 0x48, 0, 0, 0, 0,          # explicit handle, Oi flags, rpc flags
    0x00, 0x00, 0x18, 0x00,          # proc 0, stack size 24
    0x32, 0x00, 0x00, 0x00,          # FC_BIND_PRIMITIVE, flags, stack offset 0
    0x00, 0x00, 0x00, 0x00,          # client buffer 0, server buffer 0
    0x43, 0x03,                      # interpreter flags, 3 params
    0x0a, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,  # win64 extension
    0x48, 0x00, 0x00, 0x00, 0x08, 0x00,  # binding: in, base type, offset 0, FC_LONG  (defect 1)
    0x0b, 0x01, 0x08, 0x00, 0x04, 0x00,  # request: in, simple ref, offset 8, type 4
    0x13, 0x20, 0x10, 0x00, 0x0a, 0x00,  # response: out, offset 16, type 10      (defect 2)
    0x00,
])

# widl's type format string (15 bytes); it is right and stays as it is.
WIDL_TYPE = bytes([
    0x00, 0x00,
    0x11, 0x08, 0x25, 0x5c,          # 2: FC_RP [simple_pointer] -> FC_C_WSTRING
    0x11, 0x14, 0x02, 0x00,          # 6: FC_RP [allocated_on_stack][pointer_deref] -> 10
    0x12, 0x08, 0x25, 0x5c,          # 10: FC_UP [simple_pointer] -> FC_C_WSTRING
    0x00,
])
OUTER_REPLY_POINTER = 6  # offset of the FC_RP entry in WIDL_TYPE

HAS_ASYNC_HANDLE = 0x80
SERVER_ROUTINE = "UpdateRpcServerInvoke"


def short(value):
    return [value & 0xFF, (value >> 8) & 0xFF]


def corrected_proc(async_server):
    """The proc format string of Invoke with the handle_t parameter dropped and the
    response pointing at its outer reference pointer; shifted for the async server."""
    shift = POINTER if async_server else 0
    flags = 0x43 | (HAS_ASYNC_HANDLE if async_server else 0)
    rows = [
        ("explicit handle, Oi flags: rpc flags, new init routines", [0x00, 0x48]),
        ("rpc flags", [0, 0, 0, 0]),
        ("procedure 0", short(0)),
        ("stack size", short(3 * POINTER + shift)),
        ("FC_BIND_PRIMITIVE, flags", [0x32, 0x00]),
        ("binding stack offset", short(0 + shift)),
        ("client buffer", short(0)),
        ("server buffer", short(0)),
        ("interpreter flags" + (": async" if async_server else ""), [flags]),
        ("2 parameters: the handle is described above only", [0x02]),
        ("win64 extension: size 10, flags, hints, float mask", [0x0a, 0x00] + [0] * 8),
        ("request: must size, must free, in, simple ref", short(0x010b)),
        ("request stack offset", short(POINTER + shift)),
        ("request type: FC_C_WSTRING", short(4)),
        ("response: must size, must free, out, server alloc 8", short(0x2013)),
        ("response stack offset", short(2 * POINTER + shift)),
        ("response type: outer FC_RP", short(OUTER_REPLY_POINTER)),
        ("end", [0x00]),
    ]
    return rows


def flatten(rows):
    return bytes(b for _, values in rows for b in values)


TOKEN = re.compile(r"NdrFcShort\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|NdrFcLong\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|(0x[0-9a-fA-F]+|\d+)")


def parse_bytes(body):
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    out = []
    for m in TOKEN.finditer(body):
        if m.group(1):
            out += short(int(m.group(1), 0))
        elif m.group(2):
            v = int(m.group(2), 0)
            out += [(v >> s) & 0xFF for s in (0, 8, 16, 24)]
        else:
            out.append(int(m.group(3), 0))
    return bytes(out)


def fail(message):
    sys.stderr.write("correct_widl_stubs.py: " + message + "\n")
    sys.exit(1)


def replace_once(text, old, new, what):
    count = text.count(old)
    if count != 1:
        fail("expected exactly one %s (%r) in widl's output, found %d" % (what, old, count))
    return text.replace(old, new)


def block_pattern(struct, name):
    return re.compile(r"(static const %s %s =\n\{\n    0,\n    \{\n)(.*?)(\n    \}\n\};)" % (struct, name), re.S)


def replace_table(text, struct, name, expected, rows):
    pattern = block_pattern(struct, name)
    found = pattern.findall(text)
    if len(found) != 1:
        fail("expected one %s table, found %d" % (name, len(found)))
    actual = parse_bytes(found[0][1])
    if actual != expected:
        fail("%s differs from the known widl output:\n  known  %s\n  actual %s"
             % (name, expected.hex(" "), actual.hex(" ")))
    if rows is None:
        return text
    lines = []
    for comment, values in rows:
        lines.append("        %s  /* %s */" % (" ".join("0x%02x," % v for v in values), comment))
    body = "\n".join(lines)
    return pattern.sub(lambda m: m.group(1) + body + m.group(3), text)


def correct_common(text, async_server):
    rows = corrected_proc(async_server)
    text = replace_once(text, "#define PROC_FORMAT_STRING_SIZE %d\n" % len(WIDL_PROC),
                        "#define PROC_FORMAT_STRING_SIZE %d\n" % len(flatten(rows)), "proc size")
    text = replace_once(text, "#define TYPE_FORMAT_STRING_SIZE %d\n" % len(WIDL_TYPE),
                        "#define TYPE_FORMAT_STRING_SIZE %d\n" % len(WIDL_TYPE), "type size")
    text = replace_table(text, "MIDL_PROC_FORMAT_STRING", "__MIDL_ProcFormatString", WIDL_PROC, rows)
    text = replace_table(text, "MIDL_TYPE_FORMAT_STRING", "__MIDL_TypeFormatString", WIDL_TYPE, None)
    return text


HEADER = "/* Generated from widl's output by tools/rpcgen/correct_widl_stubs.py - do not edit. */\n"


def correct_client(text):
    text = correct_common(text, async_server=False)
    return HEADER + text


def correct_server(text):
    text = correct_common(text, async_server=True)
    text = replace_once(text, "    NdrServerCall2,\n", "    NdrAsyncServerCall,\n", "dispatch entry")
    text = replace_once(
        text, "static const SERVER_ROUTINE UpdateRpc_ServerRoutineTable[] =\n{\n    (void *)Invoke,\n};",
        "void __RPC_USER %s(PRPC_ASYNC_STATE, handle_t, const wchar_t *, UpdateRpcReply *);\n\n"
        "static const SERVER_ROUTINE UpdateRpc_ServerRoutineTable[] =\n{\n    (void *)%s,\n};"
        % (SERVER_ROUTINE, SERVER_ROUTINE), "server routine table")
    return HEADER + text


def main(argv):
    if len(argv) != 5:
        fail("usage: correct_widl_stubs.py CLIENT_IN SERVER_IN CLIENT_OUT SERVER_OUT")
    client_in, server_in, client_out, server_out = argv[1:]
    with open(client_in) as f:
        client = correct_client(f.read())
    with open(server_in) as f:
        server = correct_server(f.read())
    with open(client_out, "w") as f:
        f.write(client)
    with open(server_out, "w") as f:
        f.write(server)


if __name__ == "__main__":
    main(sys.argv)
