#!/usr/bin/env python3
# Writes the seed corpus of the fuzz targets from the known message and frame examples.
# Run from fuzz/: python3 make-seeds.py
def fcs16(data, fcs=0xFFFF):
    for b in data:
        fcs ^= b
        for _ in range(8):
            fcs = (fcs >> 1) ^ 0x8408 if fcs & 1 else fcs >> 1
    return fcs
def stuff(bs):
    out=bytearray()
    for b in bs:
        if b in (0x7e,0x7d): out += bytes([0x7d, b^0x20])
        else: out.append(b)
    return out
def frame(p):
    f = (~fcs16(p)) & 0xFFFF
    return bytes([0x7e]) + stuff(p + bytes([f & 0xff, f >> 8])) + bytes([0x7e])
assert fcs16(b"123456789") ^ 0xFFFF == 0x906E
assert frame(bytes([1, 0x7e, 0x7d])) == bytes.fromhex('7e 01 7d 5e 7d 5d a6 5e 7e')
H=bytes.fromhex
msgs = {
 'scan': '01 01 13 05 00 00', 'connect': '01 01 1A 02 00 04 00 00 00 00', 'disconnect': '01 01 1B 05 00 00',
 'open': '01 01 15 05 00 00', 'close': '01 01 16 05 00 00', 'transfer': '00 01 21 00 00 00',
 'relay-opened': '00 01 1A 05 00 00', 'relay-closed': '00 01 1B 05 00 00',
 'host-answer': '00 02 10 02 00 04 FF FF FF FF 11 02 00 04 FF FF FF FF',
 'string-abc': '00 01 01 01 00 04 61 62 63 00',
 'every-type': '00 06 21 00 00 00 01 01 00 04 61 62 63 00 00 02 00 04 00 AB CD EF 24 03 00 02 12 34 0B 04 00 01 80 13 05 00 03 04 A2 2B',
 'null-length-3': '00 02 05 00 00 03 06 04 00 01 2A',
 'string-no-nul': '00 01 01 01 00 02 61 62',
 'trailing-byte': '00 02 0C 04 00 01 32 2D 04 00 01 01 FF',
 'type-6': '00 01 0C 04 00 01 32 2D 06 00 00',
}
out = {}
for k,v in msgs.items(): out[k]=H(v)
out['bytes-300'] = H('05 01 25 05 01 2C') + bytes(range(256)) + bytes(44)
out['details'] = H('00 06') + H('00 02 00 04 00 AB CD EF') + bytes([1,1,0,6])+b'Box 7\0' + bytes([8,1,0,6])+b'1.6.3\0' + bytes([9,1,0,4])+b'HW2\0' + bytes([35,1,0,10])+b'relay.lan\0' + H('24 03 00 02 00 50')
for k,v in out.items():
    open(f'corpus/parse/{k}','wb').write(v)
    # The engine frames the message plus the byte after it.
    open(f'corpus/receive/{k}','wb').write(frame(v + b'\0'))
open('corpus/receive/escapes','wb').write(frame(bytes([1,0x7e,0x7d])))
open('corpus/receive/empty','wb').write(frame(b''))
open('corpus/receive/noise-around','wb').write(b'\x55' + frame(bytes([1,2])) + b'\x7e\x09')
open('corpus/receive/escape-before-flag','wb').write(frame(bytes([1,2]))[:-1] + b'\x7d\x7e')
# Engine: a set-up byte (1 relay opens, 2 key ready, 4 pieces), then records of kind, 16-bit length, bytes.
import os, struct
os.makedirs('corpus/engine', exist_ok=True)
def rec(kind, b): return bytes([kind]) + struct.pack('<H', len(b)) + b
for k, v in out.items():
    open(f'corpus/engine/msg-{k}', 'wb').write(bytes([7]) + rec(0, v))
open('corpus/engine/relay-session', 'wb').write(bytes([7]) + rec(0, H('01 01 1A 05 00 00')) + rec(0, H('05 01 25 05 00 03 7E 7D 01'))
    + rec(1, bytes([0x7e]) * 1018) + rec(1, bytes(range(256)) * 5) + rec(0, H('01 01 1B 05 00 00')))
open('corpus/engine/commands', 'wb').write(bytes([2]) + b''.join(rec(2, bytes([i])) for i in range(8)) + rec(1, b'late'))
open('corpus/engine/not-ready', 'wb').write(bytes([1]) + rec(1, b'dropped') + rec(0, H('01 01 1A 05 00 00')))
# Replies of the web service, one per operation, plus envelope corner cases.
import os
os.makedirs('corpus/reply', exist_ok=True)
replies = {
 'login': '{"rc":200,"rm":"OK","result":{"userId":"17","userName":"operator"}}',
 'lock': '{"rc":200,"rm":"OK","result":{"lockId":"5101","description":"Padlock 5101","longitude":28.2293,"latitude":-25.7479,"state":"ACTIVE","commissionState":"COMMISSIONED"}}',
 'link': '{"rc":200,"rm":"OK","result":{"examSchedId":7001,"pointId":"1021","tableId":"3101","subjectName":"Maths","centerName":"North","start":1762153200,"end":1762164000}}',
 'assign': '{"rc":200,"result":[{"pointId":"1021","tableId":"3101"}]}',
 'seals': '{"rc":200,"result":{"count":2,"offset":0,"limit":50,"list":[{"tableId":"3101","pointId":"1034","apId":"5104","apRfId":303662,"examSchedId":7002},{"apId":"5110","apRfId":5000000123}]}}',
 'seal': '{"rc":200,"rm":"OK","sfc":"x","result":{"tableId":"3101","pointId":"1021","apId":"5101","apRfId":303659,"examSchedId":7001}}',
 'null-result': '{"rc":404,"rm":"Not found","result":null}',
 'odd-numbers': '{"rc":1e300,"result":{"examSchedId":-2147483649,"apRfId":1.8446744073709552e19,"start":"x"}}',
}
for k, v in replies.items():
    open(f'corpus/reply/{k}', 'w').write(v)
# MS OS descriptors of a USB device (the key's interface GUID) and the usbids setting, with lying variants.
os.makedirs('corpus/usbdesc', exist_ok=True)
GUID = '{42CA71EC-CE1C-44c2-82DE-87D8D8FF6C1E}'
def u16(text, nuls): return text.encode('utf-16-le') + b'\0\0' * nuls
def le16(v): return struct.pack('<H', v)
def le32(v): return struct.pack('<I', v)
name = u16('DeviceInterfaceGUIDs', 1)
value = u16(GUID, 2)
prop = le16(10 + len(name) + len(value)) + le16(4) + le16(7) + le16(len(name)) + name + le16(len(value)) + value
compat = H('14 00 03 00') + b'WINUSB\0\0' + bytes(8)
msos20_set = le16(10) + le16(0) + le32(0x06030000) + le16(10 + len(compat) + len(prop)) + compat + prop
bos = H('05 0F 21 00 01') + H('1C 10 05 00 DF 60 DD D8 89 45 C7 4C 9C D2 65 9D 9E 64 8A 9F') + le32(0x06030000) + le16(len(msos20_set)) + H('20 00')
name10 = u16('DeviceInterfaceGUID', 1)
value10 = u16(GUID, 1)
section = le32(14 + len(name10) + len(value10)) + le32(1) + le16(len(name10)) + name10 + le32(len(value10)) + value10
props10 = le32(10 + len(section)) + H('00 01 05 00 01 00') + section
string_ee = H('12 03') + u16('MSFT100', 0) + H('20 00')
seeds = {
 'bos-msos20': bos, 'set-msos20': msos20_set, 'string-ee': string_ee, 'properties-msos10': props10,
 'set-value-past-end': msos20_set[:-82] + le16(82) + msos20_set[-80:],
 'properties-guid-unterminated': le32(len(props10) - 2) + props10[4:10] + le32(len(section) - 2) + section[4:60 - 10] + le32(len(value10) - 2) + value10[:-2],
 'bos-capability-past-end': bos[:5] + bytes([40]) + bos[6:],
 'usbids': b'1234:5678, abcd:EF01;x:1 12345:1\n0:0',
}
for k, v in seeds.items():
    open(f'corpus/usbdesc/{k}', 'wb').write(v)
