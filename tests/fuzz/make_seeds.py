#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (tests/fuzz/corpus/<target>/): small valid inputs
that reach deep into each parser, from which the fuzzer mutates. Run again after a format change."""
import hashlib
import io
import os
import sqlite3
import struct
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
RESPONSE, READ, WRITE = 2, 0, 1
UCHAR, UINT, ULONG, FLOAT, STRING, DATA = 3, 7, 9, 10, 12, 13


def olmo(kind, typ, code, value=0, payload=b""):
    word = (code << 12) | (typ << 4) | kind
    field = len(payload) if typ in (STRING, DATA) else value
    head = struct.pack("<II", word, field)
    checksum = 0
    for b in head:
        checksum ^= b
    return head + bytes([checksum]) + payload


def text(kind, code, s):
    return olmo(kind, STRING, code, payload=s.encode() + b"\0")


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def zephron(payload, code=0):
    head = struct.pack("<IHIHBHI", 0x0A000001, 3671, 0, 0, 0x12, code, len(payload))
    head += struct.pack("<H", crc16(head))
    return head + payload + struct.pack("<H", crc16(payload))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    write("fuzz_zephron", "text", zephron(b"KNX 1/2/3 on\0"))
    write("fuzz_zephron", "empty", zephron(b""))
    write("fuzz_zephron", "cut", zephron(b"truncated payload")[:30])

    md5 = "0123456789abcdef0123456789abcdef"
    uids = struct.pack("<III", 1000, 1001, 2000)
    every = b"".join([
        olmo(RESPONSE, DATA, 1010001, payload=uids),
        text(RESPONSE, 1010002, '{"id":1000}'),
        olmo(READ, UCHAR, 1010003, 0),
        text(RESPONSE, 1010004, "{}"),
        text(RESPONSE, 1010005, "<ui><main><page name='p'/></main></ui>"),
        text(RESPONSE, 1010005, '{"key":"admin","err":0,"info":"ok"}'),
        text(RESPONSE, 1010007, md5),
        olmo(RESPONSE, ULONG, 1010008, 1 << 20),
        olmo(RESPONSE, UCHAR, 1010009, 3),
        text(RESPONSE, 1010010, '{"err":0,"folder":"/a","info":"Folder deleted"}'),
        text(RESPONSE, 1010011, '{"err":0,"folder":"/a","info":"Folder created"}'),
        text(RESPONSE, 1010012, '{"err":0,"file":"/a/b","info":"File deleted"}'),
        text(RESPONSE, 1010013, '{"err":0,"file":"/a/b","info":"File created"}'),
        text(RESPONSE, 1010014, '{"err":0,"file":"/a/b","wrotebytes":3,"info":"Data appended"}'),
        text(RESPONSE, 1010015, md5),
        text(RESPONSE, 1010016, '{"err":0,"info":"Database changed"}'),
        text(RESPONSE, 1010024, '{"cmd":"ls","info":"a\\nb"}'),
        text(WRITE, 1010025, "broadcast text"),
        olmo(WRITE, DATA, 1010033, payload=zephron(b"bus message\0")),
        olmo(WRITE, FLOAT, 1000, struct.unpack("<I", struct.pack("<f", 21.5))[0]),
        olmo(WRITE, UINT, 1001, 7),
        text(WRITE, 1010022, '<log>{"sender":"c","paramId":"7","msg":"hi"}</log>'),
        olmo(3, 11, 1002, payload=b"\1\2\3\4\5\6\7\x08"),
    ])
    write("fuzz_connector", "every_code", every)
    write("fuzz_connector", "uid_list", olmo(RESPONSE, DATA, 1010001, payload=uids * 4))

    block = bytes(range(256)) * 4
    digest = hashlib.md5(block).hexdigest()
    download = b"".join([
        text(RESPONSE, 1010007, digest),
        olmo(RESPONSE, ULONG, 1010006, len(block)),
        olmo(RESPONSE, DATA, 1010006, payload=block[:600]),
        olmo(RESPONSE, DATA, 1010006, payload=block[600:]),
        olmo(RESPONSE, UCHAR, 1010006, 0),
    ])
    write("fuzz_olmo", "download", b"\x01" + download)
    upload = b"".join([
        text(RESPONSE, 1010012, '{"err":0,"file":"/tmp/upload.db","info":"File deleted"}'),
        text(RESPONSE, 1010014, '{"err":0,"file":"/tmp/upload.db","wrotebytes":1024,"info":"ok"}'),
        text(RESPONSE, 1010014, '{"err":0,"file":"/tmp/upload.db","wrotebytes":1024,"info":"ok"}'),
        text(RESPONSE, 1010014, '{"err":0,"file":"/tmp/upload.db","wrotebytes":952,"info":"ok"}'),
        text(RESPONSE, 1010015, hashlib.md5(bytes(i & 0xff for i in range(3000))).hexdigest()),
        text(RESPONSE, 1010016, '{"err":0,"info":"Database changed"}'),
    ])
    write("fuzz_olmo", "upload", b"\x02" + upload)
    write("fuzz_olmo", "plain", b"\x00" + every)
    bad = bytearray(olmo(WRITE, UINT, 1001, 7))
    bad[8] ^= 0xff
    write("fuzz_olmo", "bad_checksum_then_frame", b"\x00" + bytes(bad) + olmo(WRITE, UINT, 1001, 8))

    write("fuzz_discovery", "answer", b"vyx-kore-wa-desu;name=house;address=10.0.0.5;port=18000;version=2.1\0junk")
    write("fuzz_discovery", "quotes", b'vyx-kore-wa-desu;name=a"b\\c\n\xe2\x80\xa8;port=1')
    write("fuzz_discovery", "query", b"vyx-wa-doko-desu-ka")

    with tempfile.TemporaryDirectory() as tmp:
        def project(name, rows):
            path = os.path.join(tmp, name)
            db = sqlite3.connect(path)
            db.execute("CREATE TABLE 'vyx_project' ('type' text,'info'  TEXT,'data'  blob )")
            for row in rows:
                db.execute("insert into vyx_project (type,info,data) values (?,?,?)", row)
            db.commit()
            db.close()
            with open(path, "rb") as f:
                write("fuzz_projectstore", name, f.read())

        project("small", [("objects", '{"objects":[]}', None),
                          ("image", "/project/assets/img/backgrounds/R1x1_a.png", b"\x89PNG"),
                          ("image", "/project/assets/it''s.bin", b"x" * 10)])
        project("hostile", [("objects", "[1]", None),
                            ("image", "/project/assets/../../escaped", b"x"),
                            ("image", "/project/assets/a\0b", b"y"),
                            ("image", "/project/assets/dir", b"file"),
                            ("image", "/project/assets/dir/inside", b"z")])

    def archive(name, entries, compression=zipfile.ZIP_DEFLATED):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", compression) as z:
            for entry, data in entries:
                z.writestr(entry, data)
        write("fuzz_etsarchive", name, buffer.getvalue())

    archive("project", [("P-0001/", b""), ("P-0001/0.xml", b"<KNX><Project/></KNX>" * 4),
                        ("project.xml", b"<KNX/>")])
    archive("stored", [("a.txt", b"plain"), ("B.TXT", b"upper")], zipfile.ZIP_STORED)

    # Project data, hardware and application program, each after a line "--": group addresses
    # with and without a type of their own, objects linked both ways, types at every level.
    ns = b'xmlns="http://knx.org/xml/project/20"'
    project = (b'<KNX ' + ns + b'><Project Id="P-0001"><Installations><Installation><Topology>'
               b'<Area Address="1"><Line Address="1"><DeviceInstance Address="1" '
               b'Hardware2ProgramRefId="M-0083_H-1_HP-1"><ComObjectInstanceRefs>'
               b'<ComObjectInstanceRef RefId="O-1_R-1" DatapointType="DPST-1-8 DPST-1-1">'
               b'<Connectors><Send GroupAddressRefId="P-0001-0_GA-1"/>'
               b'<Receive GroupAddressRefId="P-0001-0_GA-2"/></Connectors></ComObjectInstanceRef>'
               b'<ComObjectInstanceRef RefId="O-2_R-2" Links="GA-2 GA-1"/>'
               b'<ComObjectInstanceRef RefId="O-3_R-3" Links="GA-3"/>'
               b'</ComObjectInstanceRefs></DeviceInstance></Line></Area></Topology>'
               b'<GroupAddresses><GroupRanges><GroupRange Name="All" RangeStart="0" RangeEnd="2047">'
               b'<GroupAddress Id="P-0001-0_GA-1" Address="1" Name="Test"/>'
               b'<GroupAddress Id="P-0001-0_GA-2" Address="2" DatapointType="DPT-9"/>'
               b'<GroupAddress Id="P-0001-0_GA-3" Address="3"/>'
               b'</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>')
    hardware = (b'<KNX ' + ns + b'><ManufacturerData><Manufacturer RefId="M-0083"><Hardware>'
                b'<Hardware Id="M-0083_H-1"><Hardware2Programs><Hardware2Program Id="M-0083_H-1_HP-1">'
                b'<ApplicationProgramRef RefId="M-0083_A-0001-10-ABCD"/></Hardware2Program>'
                b'</Hardware2Programs></Hardware></Hardware></Manufacturer></ManufacturerData></KNX>')
    app = b'M-0083_A-0001-10-ABCD'
    program = (b'<KNX ' + ns + b'><ManufacturerData><Manufacturer RefId="M-0083"><ApplicationPrograms>'
               b'<ApplicationProgram Id="' + app + b'"><Static><ComObjectTable>'
               b'<ComObject Id="' + app + b'_O-1" Number="1" DatapointType="DPST-1-1" ObjectSize="1 Bit"/>'
               b'<ComObject Id="' + app + b'_O-2" Number="2" DatapointType="DPST-5-1"/>'
               b'<ComObject Id="' + app + b'_O-3" Number="3" ObjectSize="4 Bit"/>'
               b'</ComObjectTable><ComObjectRefs>'
               b'<ComObjectRef Id="' + app + b'_O-1_R-1" RefId="' + app + b'_O-1" DatapointType="DPST-1-9"/>'
               b'<ComObjectRef Id="' + app + b'_O-2_R-2" RefId="' + app + b'_O-2"/>'
               b'<ComObjectRef Id="' + app + b'_O-3_R-3"/>'
               b'</ComObjectRefs></Static></ApplicationProgram></ApplicationPrograms></Manufacturer>'
               b'</ManufacturerData></KNX>')
    write("fuzz_etsproject", "typed", b"\n--\n".join([project, hardware, program]))
    write("fuzz_etsproject", "no-program", b"\n--\n".join([project, hardware]))
    write("fuzz_etsproject", "project-only", project)


if __name__ == "__main__":
    main()
