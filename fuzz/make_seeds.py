#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/seed-*).

Run again after changing a target's input format; inputs of faults found
(fuzz/corpus/<target>/crash-* and regress-*) are kept as they are.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


# ---- kxmodem_qmi -------------------------------------------------------------
def tlvs(items):
    out = b""
    for t, v in items:
        out += struct.pack("<BH", t, len(v)) + v
    return out


def ctl(tid, msg, items=(), flags=0):
    body = struct.pack("<BBH", flags, tid, msg)
    t = tlvs(items)
    body += struct.pack("<H", len(t)) + t
    frame = struct.pack("<BB", 0x00, 0x00) + struct.pack("<B", 0) + body
    return b"\x01" + struct.pack("<H", len(frame) + 2) + frame


def svc(service, cid, tid, msg, items=()):
    t = tlvs(items)
    body = struct.pack("<BHH", 0, tid, msg) + struct.pack("<H", len(t)) + t
    frame = struct.pack("<BBB", 0x00, service, cid) + body
    return b"\x01" + struct.pack("<H", len(frame) + 2) + frame


def record(op, data):
    return struct.pack("<BH", op, len(data)) + data


GET_CID_WDS = ctl(1, 0x22, [(0x01, b"\x01")])
GET_CID_NAS = ctl(2, 0x22, [(0x01, b"\x03")])
START = svc(1, 1, 1, 0x20, [(0x14, b"kxtel.internet"), (0x16, b"\x01"),
                            (0x17, b"kxuser"), (0x18, b"kxpass"), (0x19, b"\x04")])
STATUS = svc(1, 1, 2, 0x22)
RATES = svc(1, 1, 3, 0x23)
STOP = svc(1, 1, 4, 0x21, [(0x01, struct.pack("<I", 0x4B580001))])
ABORT = svc(1, 1, 5, 0x02, [(0x01, struct.pack("<H", 6))])
SIGNAL = svc(3, 1, 1, 0x20, [(0x10, struct.pack("<H", 3))])
RELEASE = ctl(3, 0x23, [(0x01, b"\x01\x01")])
SYNC = ctl(4, 0x27)
VERSION = ctl(5, 0x21)
FORMAT = ctl(6, 0x26, [(0x01, b"\x00")])

write("kxmodem_qmi", "connect", record(0, GET_CID_WDS) + record(0, START) + record(0, STATUS)
      + record(0, RATES) + record(0, STOP) + record(0, RELEASE))
write("kxmodem_qmi", "delayed-start-abort", record(0, GET_CID_WDS) + record(4, START)
      + record(0, ABORT) + record(8, STATUS))
write("kxmodem_qmi", "signal", record(0, GET_CID_NAS) + record(0, SIGNAL) + record(0, SYNC)
      + record(0, VERSION) + record(0, FORMAT))
write("kxmodem_qmi", "two-connections", record(0, GET_CID_WDS) + record(1, GET_CID_WDS)
      + record(0, START) + record(3, b"\x04\x00") + record(3, b"\x05\x01")
      + record(3, b"\x02\x00") + record(1, svc(1, 2, 1, 0x20, [(0x14, b"kxtel.internet")])))
write("kxmodem_qmi", "radio-off", record(0, GET_CID_WDS) + record(3, b"\x00\x00")
      + record(0, START) + record(3, b"\x00\x01") + record(3, b"\x01\x05") + record(0, START)
      + record(3, b"\x03\x00"))
write("kxmodem_qmi", "malformed", record(0, GET_CID_WDS[:-1]) + record(0, START[:20])
      + record(0, b"\x01\x05\x00\x00\x01\x01") + record(2, b""))

# ---- kxmodem_at --------------------------------------------------------------
for name, text in [
    ("echo", "\x00ATE0\rAT\r"),
    ("creg", "\x02AT+CREG=2\rAT+CREG?\rAT+CREG=?\r"),
    ("cops", "\x03AT+COPS=3,0;+COPS?\rAT+COPS=3,1;+COPS?\rAT+COPS=3,2;+COPS?\r"),
    ("ident", "\x01ATI1\r\nATI\rAT+CGMI;+CGMM;+CGMR;+CGSN\r"),
    ("cfun", "\x11AT+CFUN=0\rAT+CSQ\rAT+CFUN?\rAT+CFUN=1,0\rAT+CFUN=?\r"),
    ("edit", "\x20ATX\bE0V1Q0\r  at  \r\rATZ\r"),
]:
    write("kxmodem_at", name, text)

# ---- reg_reader --------------------------------------------------------------
with open(os.path.join(ROOT, "device", "platform.reg"), "rb") as f:
    write("reg_reader", "platform", f.read())
write("reg_reader", "types", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Soft\\A]\r\n@=\"default\"\r\n"
      "\"s\"=\"a \\\"quoted\\\" \\\\ text\"\r\n\"d\"=dword:ffffffff\r\n\"b\"=hex:00,01,ff\r\n"
      "\"x\"=hex(2):25,50,41,54,48,25,00\r\n\"m\"=hex(7):61,00,62,00,00\r\n"
      "\"n\"=hex(0):\r\n\"long\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,\\\r\n"
      "  12,13,14\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=-\r\n[-HKEY_LOCAL_MACHINE\\A\\B]\r\n")
write("reg_reader", "unicode", "\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_USERS\\\u00e9t\u00e9]\r\n\"\u65e5\u672c\"=\"\u00fc\"\r\n".encode("utf-16-le"))
write("reg_reader", "bad", "REGEDIT4\n[HKEY_NOWHERE\\x]\n")

# ---- wide_printf -------------------------------------------------------------
write("wide_printf", "ints", bytes([3, 65, 0, 66, 0, 67, 0, 0x1f, 0x05, 5, 1, 0, 1, 40,
                                    10, 0, 5, 0]) + struct.pack("<q", -123456) + b"\x00")
write("wide_printf", "strings", bytes([0, 0x01, 0x05, 0, 0, 14, 1, 60, 30, 0, 3, 0])
      + struct.pack("<Q", 0) + bytes([5]) + "h\u00e9llo".encode("utf-16-le"))
write("wide_printf", "stars", bytes([1, 0x40, 0, 0x0a, 0, 9, 0, 10, 7, 0, 0xfb, 0xff])
      + struct.pack("<q", 42) + b"\x00")
write("wide_printf", "float", bytes([0, 0x08, 0x05, 12, 0, 0, 17, 1, 30, 8, 0, 3, 0])
      + struct.pack("<d", 3.25) + b"\x00")

# ---- carriercfg_profile -------------------------------------------------------
def wide(s):
    return s.encode("utf-16-le")


def name(s):
    return bytes([len(s)]) + wide(s)


def profile_values(strings, numbers, present=0x3FFF):
    out = struct.pack("<H", present)
    string_index = {0, 1, 2, 3, 9, 10, 13}
    for v in range(14):
        if not present & (1 << v):
            continue
        if v in string_index:
            data = wide(strings.get(v, "")) + b"\x00\x00"
        else:
            data = struct.pack("<I", numbers.get(v, 1))
        out += bytes([1 if v in string_index else 4, len(data)]) + data
    return out


KXTEL = {0: "KxTel Internet", 1: "kxuser", 2: "kxpass", 3: "", 9: "kxtel.internet",
         10: "", 13: ""}
write("carriercfg_profile", "first",
      bytes([0]) + name("KxTel Mobile") + bytes([1]) + name("KxTel") + b"\x00"
      + profile_values(KXTEL, {}))
write("carriercfg_profile", "current",
      bytes([2, 1, 20]) + wide("Old Entry") + b"\x00\x00" + name("KxTel Mobile") + bytes([2])
      + name("Example") + b"\x00" + profile_values({0: "Ex"}, {}) + name("kxtel") + b"\x00"
      + profile_values(KXTEL, {4: 0xFFFFFFFF}))
write("carriercfg_profile", "markup",
      bytes([0]) + name("Op") + bytes([1]) + name("Op") + b"\x00"
      + profile_values({0: "A&B <\"x\">", 1: "u\tv", 2: "p\r\nq", 3: "'", 9: "apn"}, {}))
write("carriercfg_profile", "missing",
      bytes([0]) + name("Op") + bytes([1]) + name("o") + b"\x00"
      + profile_values(KXTEL, {}, present=0x1FFF))
write("carriercfg_profile", "direct", bytes([0x80]) + b"A\x00" * 200)

# ---- kxcmd_route ------------------------------------------------------------
def reads(*frames):
    return b"".join(bytes([len(f)]) + f for f in frames)


RESULT_OK = (0x02, b"\x00\x00\x00\x00")
RESULT_FAIL = (0x02, b"\x01\x00\x0e\x00")


def reply_ctl(tid, msg, items):
    f = bytearray(ctl(tid, msg, items))
    f[3] = 0x80
    f[6] = 0x01
    return bytes(f)


def reply_svc(service, tid, msg, items, flags=0x02):
    f = bytearray(svc(service, 1, tid, msg, items))
    f[3] = 0x80
    f[6] = flags
    return bytes(f)


# Slots: count, then (index, kind) pairs; kind bit 0 = asynchronous, bits
# 1-3 choose the request (CTL 22, CTL 23, WDS 02, 20, 21, 22, 23, NAS 20).
slots = bytes([6, 1, 0x01, 2, 0x02, 3, 0x07, 4, 0x0b, 5, 0x0d, 6, 0x0f])
write("kxcmd_route", "replies", slots + b"\x01" + reads(
    reply_ctl(1, 0x22, [RESULT_OK, (0x01, b"\x01\x05")]),
    reply_ctl(2, 0x23, [RESULT_OK, (0x01, b"\x01\x05")]),
    reply_svc(1, 3, 0x20, [RESULT_OK, (0x01, struct.pack("<I", 0x4B580001))]),
    reply_svc(1, 4, 0x22, [RESULT_OK, (0x01, b"\x02")]),
    reply_svc(1, 5, 0x23, [RESULT_OK, (0x01, struct.pack("<IIII", 1, 2, 3, 4))]),
    reply_svc(3, 6, 0x20, [RESULT_OK, (0x01, b"\xb7\x05")])))
write("kxcmd_route", "failures", slots + b"\x00" + reads(
    reply_ctl(1, 0x22, [RESULT_FAIL]),
    reply_svc(1, 3, 0x20, [RESULT_OK, (0x01, b"\x01\x02")]),
    reply_svc(1, 4, 0x22, [RESULT_OK]), b"\x01\x07\x00\x80\x01\x01\x02\x05",
    reply_svc(1, 70, 0x22, [RESULT_OK, (0x01, b"\x02")])))
write("kxcmd_route", "indications", slots + b"\x01" + reads(
    reply_svc(1, 0, 0x22, [(0x01, b"\x02\x00")], flags=0x04),
    reply_svc(1, 4, 0x22, [(0x01, b"\x01\x01")], flags=0x04),
    reply_svc(1, 0, 0x22, [(0x01, b"\x02")], flags=0x04)))

# ---- kxcmd_start ------------------------------------------------------------
def start(shape, strings, tail=b""):
    out = bytes([shape, 3, 0, 1])
    for s in strings:
        out += bytes([len(s)]) + s
    return out + tail


write("kxcmd_start", "all", start(0x3f, [b"kxtel.internet", b"kxuser", b"kxpass"],
                                  struct.pack("<II", 0x08080808, 0x08080404) + b"\x02"))
write("kxcmd_start", "none", bytes([0x80, 1, 0, 1]))
write("kxcmd_start", "empty-user", start(0x03, [b"apn", b""]))
write("kxcmd_start", "apn-111", start(0x01, [b"a" * 111]))
write("kxcmd_start", "apn-112", start(0x01, [b"a" * 112]))

# ---- modemabout_ident ---------------------------------------------------------
def answer(text, kind=0):
    data = text if isinstance(text, bytes) else text.encode("latin-1")
    return bytes([kind]) + struct.pack("<H", len(data)) + data


IDENT = ("\r\nManufacturer: KxWireless\r\nModel: KX-H750 HSDPA\r\n"
         "Revision: KXH750_R1.4.2 2007-05-14\r\nIMEI: 004999010640000\r\n\r\nOK\r\n")
write("modemabout_ident", "ident", answer(IDENT))
write("modemabout_ident", "two-answers", answer(IDENT) + answer("\r\nA\r\nB\r\n"))
write("modemabout_ident", "no-crlf", answer("no line end at all") + answer("x", 7))
write("modemabout_ident", "long-line", answer("\r\n" + "L" * 400 + "\r\n\xe9\r\n\x00\r\n"))
write("modemabout_ident", "null-data", answer(IDENT, 0x78))
