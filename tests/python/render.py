"""A canonical one-line rendering of plain pickled data, shared by the scripts that make test
files: the C++ tests render what their reader loaded the same way and compare the two texts.

  None -> N   True/False -> T/F   int -> i<decimal>   float -> f<16 hex digits, big-endian bits>
  str -> s<hex of UTF-8>   bytes -> b<hex>   list -> [a,b]   tuple -> (a,b)   dict -> {k:v,k:v}
"""
import struct


def render(value):
    if value is None:
        return "N"
    if value is True:
        return "T"
    if value is False:
        return "F"
    if isinstance(value, int):
        return "i%d" % value
    if isinstance(value, float):
        return "f" + struct.pack(">d", value).hex()
    if isinstance(value, str):
        return "s" + value.encode("utf-8", "surrogatepass").hex()
    if isinstance(value, (bytes, bytearray)):
        return "b" + bytes(value).hex()
    if isinstance(value, list):
        return "[" + ",".join(render(v) for v in value) + "]"
    if isinstance(value, tuple):
        return "(" + ",".join(render(v) for v in value) + ")"
    if isinstance(value, dict):
        return "{" + ",".join(render(k) + ":" + render(v) for k, v in value.items()) + "}"
    raise TypeError("cannot render %r" % type(value))
