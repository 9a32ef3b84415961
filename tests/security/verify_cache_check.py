#!/usr/bin/env python3
"""Checks the security products cache with code of its own.

Every "Verify" of a saved cache, read by `reg export`, is recomputed here (HMAC-SHA-256 keyed with the
key's kernel path, over its values joined by "/", both UTF-16LE; Base64 and a line feed) and must agree
with `kxupdate verify-cache`; each tampering below must make both call exactly the tampered key a mismatch.

usage: verify_cache_check.py WINE_RUN BUILD_DIR  (with the build's prefix and a running wineserver)
"""
import base64
import hashlib
import hmac
import os
import re
import shutil
import subprocess
import sys
import tempfile

CACHE = r"HKEY_LOCAL_MACHINE\Software\Veltrastone\Cache\SecurityProducts"
# The kernel's name of HKEY_LOCAL_MACHINE as Wine spells it (Windows says
# \REGISTRY\MACHINE); key names below it keep the case they were created with.
KERNEL_MACHINE = r"\REGISTRY\Machine"

PRODUCTS = (
    "4\tContoso Antivirus\t0\t1\t2026-05-01T08:00:00Z\n"
    "4\tZa\u0161\u010dita \u9632\u5fa1 \U0001f6e1 \"quoted\" back\\slash/slash\t0\t0\tNULL\n"
    "1\tContoso Firewall\t1\t1\t2026-05-01T07:59:00Z\n"
    "8\tContoso Antispyware\t0\t1\t2026-04-30T12:00:00Z\n"
)

AV, AV0, AV1 = CACHE + r"\AntiVirus", CACHE + r"\AntiVirus\0", CACHE + r"\AntiVirus\1"
FW, FW0, AS0 = CACHE + r"\Firewall", CACHE + r"\Firewall\0", CACHE + r"\AntiSpyware\0"


def reg_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


# (what, key expected to mismatch, .reg changes as (key, value name, data or None to delete))
TAMPERINGS = [
    ("saved cache", None, lambda c: []),
    ("Name edited", AV1, lambda c: [(AV1, "Name", reg_text("Contoso Antivirus"))]),
    ("Status edited", AV0, lambda c: [(AV0, "Status", "dword:00000000")]),
    ("StatusTimestamp edited", FW0, lambda c: [(FW0, "StatusTimestamp", reg_text("2026-05-02T07:59:00Z"))]),
    ("product Timestamp edited", AS0, lambda c: [(AS0, "Timestamp", reg_text("2020-01-01T00:00:00Z"))]),
    ("class Timestamp edited", FW, lambda c: [(FW, "Timestamp", reg_text("2020-01-01T00:00:00Z"))]),
    ("class Count edited", FW, lambda c: [(FW, "Count", "dword:00000000")]),
    ("class Count huge, its Verify recomputed", AV, lambda c: [
        (AV, "Count", "dword:fffffff0"), (AV, "Verify", reg_text(mac(AV, f"{0xfffffff0}/{c[AV]['Timestamp']}")))]),
    ("value deleted", AV0, lambda c: [(AV0, "StatusTimestamp", None)]),
    ("product copied to another index", AV1,
     lambda c: [(AV1, name, f"dword:{v:08x}" if isinstance(v, int) else reg_text(v)) for name, v in c[AV0].items()]),
]

WINE_RUN, BUILD = sys.argv[1:3] if len(sys.argv) == 3 else (None, None)


def run(*args, env=None, check=True):
    """Runs a Windows program (or Wine's reg) in the build's prefix."""
    result = subprocess.run([WINE_RUN, *args], stdin=subprocess.DEVNULL, capture_output=True,
                            env={**os.environ, **(env or {})}, timeout=120)
    if check and result.returncode != 0:
        sys.exit(f"{args} failed with {result.returncode}: {result.stdout!r} {result.stderr!r}")
    return result


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unescape(text):
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), text)


def export(work, name):
    """{key: {value name: str or int}} of the cache as `reg export` writes it."""
    run("reg", "export", CACHE, windows_path(os.path.join(work, name)), "/y")
    with open(os.path.join(work, name), "rb") as f:
        text = f.read().decode("utf-16")
    cache, key = {}, None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            cache[key] = {}
        match = re.fullmatch(r'"((?:[^"\\]|\\.)*)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-fA-F]{8}))', line)
        if match and key is not None:
            data = unescape(match.group(2)) if match.group(3) is None else int(match.group(3), 16)
            cache[key][unescape(match.group(1))] = data
    return cache


def mac(key, message):
    path = KERNEL_MACHINE + key[len("HKEY_LOCAL_MACHINE"):]
    digest = hmac.new(path.encode("utf-16-le"), message.encode("utf-16-le"), hashlib.sha256).digest()
    return base64.b64encode(digest).decode("ascii") + "\n"


def verdicts(cache):
    """{key: True when its "Verify" agrees} for every class and product key."""
    result = {}
    for key, values in cache.items():
        depth = key[len(CACHE):].count("\\")
        try:
            if depth == 1:
                message = f"{values['Count']}/{values['Timestamp']}"
                products = sorted(k[len(key) + 1:] for k in cache if k.startswith(key + "\\"))
                if sorted(map(str, range(len(products)))) != products or len(products) != values["Count"]:
                    message = None  # counted products are "0" to Count - 1, all of them
            elif depth == 2:
                status = values["Status"] - (1 << 32) if values["Status"] >= 1 << 31 else values["Status"]
                message = f"{values['Name']}/{status}/{values['StatusTimestamp']}/{values['Timestamp']}"
            else:
                continue
            result[key] = message is not None and mac(key, message) == values["Verify"]
        except KeyError:
            result[key] = False
    return result


def reader_verdicts():
    result = run(os.path.join(BUILD, "kxupdate.exe"), "verify-cache", check=False)
    found = re.findall(r"^(OK|MISMATCH) +HKLM(\\\S+)", result.stdout.decode("utf-8"), re.M)
    return result.returncode, {"HKEY_LOCAL_MACHINE" + key: verdict == "OK" for verdict, key in found}


def import_reg(path, changes):
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, name, data in changes:
        lines += [f"[{key}]", f'"{name}"=' + ("-" if data is None else data), ""]
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
    run("reg", "import", windows_path(path))


def main():
    fixtures = os.path.join(BUILD, "fixtures", "kxfixtures.exe")
    work = tempfile.mkdtemp(prefix="kxcache-")
    fixture = windows_path(os.path.join(work, "fixture"))
    failures = []
    try:
        run(fixtures, "install-security-center", fixture)
        with open(os.path.join(work, "products.txt"), "w", encoding="utf-8") as f:
            f.write(PRODUCTS)
        run(os.path.join(BUILD, "fixtures", "kxcontrol.exe"), "shutdown",
            env={"KX_WSC_PRODUCTS": windows_path(os.path.join(work, "products.txt"))})
        cache = export(work, "saved.reg")
        if len(verdicts(cache)) != 7 or cache[AV1]["Name"] != PRODUCTS.split("\n")[1].split("\t")[1]:
            failures.append(f"saved cache: keys or a name other than saved: {cache}")
        for what, tampered_key, changes in TAMPERINGS:
            run("reg", "delete", CACHE, "/f")
            run("reg", "import", windows_path(os.path.join(work, "saved.reg")))
            import_reg(os.path.join(work, "tamper.reg"), changes(cache))
            mine = verdicts(export(work, "tampered.reg"))
            code, reader = reader_verdicts()
            expected = {key: key != tampered_key for key in verdicts(cache)}
            if mine != expected:
                failures.append(f"{what}: independent check {mine}, expected {expected}")
            if code != (0 if tampered_key is None else 1) or reader != expected:
                failures.append(f"{what}: reader exit {code}, verdicts {reader}, expected {expected}")
    finally:
        run(fixtures, "remove-security-center", fixture, check=False)
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL:", failure)
    print(f"saved cache and {len(TAMPERINGS) - 1} tamperings checked, {len(failures)} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
