"""The kept form of an Index: the state that pickles it and the file that `save` writes.

A saved index is an uncompressed `.npz` archive (a ZIP of `.npy` members, what
`np.savez` writes and `np.load` reads) whose members are the fields of
`_validate.INDEX_FIELDS`. plov's writer pads every member's local header so that its
array data starts on a 64-byte boundary in the file, where a memory map can use it
in place. The reader parses the archive itself instead of going through `np.load`:
it checks every member's header (name, dtype, shape, size within the file) before it
reads a byte of data, maps or reads the data at its offset, and checks each member's
CRC-32, so a truncated or corrupted file is refused before anything is packed.
"""

from __future__ import annotations

import io
import math
import mmap
import os
import struct
import tempfile
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor
from typing import Any, BinaryIO, Dict, Optional, Tuple

import numpy as np

from ._validate import INDEX_FORMAT, check_index_format, check_index_layout

# The oldest plov that reads format INDEX_FORMAT (named in the files it writes, so
# that an older plov can say which version a file needs).
MIN_PLOV_VERSION = "0.1.0"

_ALIGN = 64  # array data offsets in the file; .npy headers are padded to this size too
_LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")  # a ZIP local file header, 30 bytes
_LOCAL_MAGIC = b"PK\x03\x04"
_ZIP64_EXTRA = 20  # the zip64 field zipfile adds to a local header written with force_zip64
_PAD_ID = 0xD935  # the ID of the extra field that pads a local header (as zipalign's)
_MAX_HEADER = 1 << 16  # longest .npy header read; plov's are 128 bytes


def state_of(points: np.ndarray, indptr: np.ndarray, indices: np.ndarray, labels: np.ndarray) -> Dict[str, Any]:
    """The fields of a kept index, in the order they are written."""
    return {"format_version": INDEX_FORMAT, "min_plov_version": MIN_PLOV_VERSION, "points": points,
            "indptr": indptr, "indices": indices, "labels": labels}


def write_npz(path: "os.PathLike[str] | str", state: Dict[str, Any]) -> None:
    """Writes `state` as an uncompressed .npz at `path`, every member's data aligned; the
    file appears whole or not at all (written beside `path`, then renamed over it)."""
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(prefix=".plov-", suffix=".tmp", dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(fd, "wb") as f, zipfile.ZipFile(f, "w", zipfile.ZIP_STORED, allowZip64=True) as zf:
            for name, value in state.items():
                _write_member(zf, f, name, np.asarray(value))
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _write_member(zf: zipfile.ZipFile, f: BinaryIO, name: str, arr: np.ndarray) -> None:
    info = zipfile.ZipInfo(name + ".npy", date_time=(1980, 1, 1, 0, 0, 0))  # same index, same bytes
    info.compress_type = zipfile.ZIP_STORED
    # The local header is 30 bytes, the name, the extra field and zipfile's zip64 field;
    # the padding field (4 bytes and `pad` zeros) makes the member start aligned.
    start = f.tell() + _LOCAL_HEADER.size + len(info.filename.encode()) + 4 + _ZIP64_EXTRA
    pad = -start % _ALIGN
    info.extra = struct.pack("<HH", _PAD_ID, pad) + bytes(pad)
    with zf.open(info, "w", force_zip64=True) as member:
        np.lib.format.write_array(member, arr, allow_pickle=False)


class _Member:
    """One array of the archive: where its data lies in the file and what it holds."""

    def __init__(self, source: str, field: str, info: zipfile.ZipInfo, header: bytes, offset: int, dtype: np.dtype,
                 shape: Tuple[int, ...]) -> None:
        self.source, self.field, self.info, self.header, self.offset = source, field, info, header, offset
        self.dtype, self.shape = dtype, shape
        self.nbytes = math.prod(shape) * dtype.itemsize  # Python ints: a lying shape cannot wrap


def read_npz(path: "os.PathLike[str] | str", mmap_mode: Optional[str], source: str) -> Dict[str, Any]:
    """The fields of a saved index at `path`, the format version checked, every member's
    layout and CRC-32 checked; with `mmap_mode="r"` the arrays are read-only views of a
    map of the file. ValueError naming `source` for anything that is not such a file."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        try:
            with zipfile.ZipFile(f) as zf:
                infos = zf.infolist()
        except Exception as e:  # whatever a damaged directory makes zipfile raise
            raise ValueError(f"{source} is not a saved plov index: not a readable .npz archive ({e})") from None
        members: Dict[str, _Member] = {}
        for info in infos:
            field = info.filename[:-4] if info.filename.endswith(".npy") else info.filename
            if field in members:
                raise ValueError(f"{source}: field {field!r} appears twice")
            members[field] = _member(f, size, info, field, source)
        # The version first: a newer file may hold other fields.
        version = members.get("format_version")
        if version is None:
            raise ValueError(f"{source} is not a saved plov index: field 'format_version' is missing")
        required = members.get("min_plov_version")
        if required is not None and (required.dtype.kind != "U" or required.shape != ()):
            required = None  # the version check names the plov needed only when it can
        check_index_format(_checked(*_read(f, version, None, source)),
                           None if required is None else _checked(*_read(f, required, None, source)), source)
        check_index_layout({m.field: (m.dtype, m.shape) for m in members.values()}, source)
        view: Optional[mmap.mmap] = None
        if mmap_mode is not None and size:
            view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        # Each member's checksum is computed on a thread (zlib releases the lock) while
        # the next member is read.
        with ThreadPoolExecutor(1) as pool:
            read = []
            for m in members.values():
                m, raw = _read(f, m, view, source)
                read.append((m, raw, pool.submit(_checksum, m, raw)))
            return {m.field: _checked(m, raw, crc.result()) for m, raw, crc in read}


def _member(f: io.BufferedReader, size: int, info: zipfile.ZipInfo, field: str, source: str) -> _Member:
    """The member `info` located and its .npy header parsed, every size checked against
    the file; nothing of its data is read."""
    def bad(what: str) -> ValueError:
        return ValueError(f"{source}: field {field!r}: {what}")

    if not info.filename.endswith(".npy"):
        raise ValueError(f"{source}: unexpected member {info.filename!r}")
    if info.compress_type != zipfile.ZIP_STORED:
        raise bad("the member is compressed; saved indexes are uncompressed (np.savez, not np.savez_compressed)")
    if info.flag_bits & 0x1:
        raise bad("the member is encrypted")
    if not 0 <= info.header_offset <= size - _LOCAL_HEADER.size:
        raise bad("the member lies beyond the end of the file (truncated?)")
    f.seek(info.header_offset)
    magic, *_, name_len, extra_len = _LOCAL_HEADER.unpack(f.read(_LOCAL_HEADER.size))
    start = info.header_offset + _LOCAL_HEADER.size + name_len + extra_len
    if magic != _LOCAL_MAGIC or f.read(name_len) != info.filename.encode("utf-8", "replace"):
        raise bad("the archive's directory does not match the member's local header")
    if info.compress_size != info.file_size or start + info.file_size > size:
        raise bad(f"the member's {info.file_size} bytes lie beyond the end of the file (truncated?)")
    f.seek(start)
    head = f.read(min(info.file_size, _MAX_HEADER))
    try:
        buf = io.BytesIO(head)
        major, minor = np.lib.format.read_magic(buf)
        if (major, minor) not in ((1, 0), (2, 0), (3, 0)):
            raise ValueError(f"unknown .npy version {major}.{minor}")
        reader = np.lib.format.read_array_header_1_0 if major == 1 else np.lib.format.read_array_header_2_0
        shape, fortran, dtype = reader(buf)
    except Exception as e:  # the header parser's errors: ValueError, SyntaxError, struct.error, ...
        raise bad(f"not a readable .npy header ({e})") from None
    if fortran and len(shape) > 1:
        raise bad("the array is in Fortran order; saved indexes are in C order")
    if dtype.hasobject:
        raise bad(f"dtype {dtype} holds Python objects")
    if any(d < 0 for d in shape):
        raise bad(f"shape {tuple(shape)} has a negative length")
    m = _Member(source, field, info, head[:buf.tell()], start + buf.tell(), dtype, tuple(shape))
    if len(m.header) + m.nbytes != info.file_size:
        raise bad(f"shape {m.shape} of {dtype} needs {m.nbytes} bytes, the member holds "
                  f"{info.file_size - len(m.header)}")
    return m


def _read(f: io.BufferedReader, m: _Member, view: Optional[mmap.mmap], source: str) -> Tuple[_Member, np.ndarray]:
    """The bytes of member `m`'s data: a read-only view of `view` when given and the
    data is aligned for its dtype, otherwise read into a new array."""
    if view is not None and m.offset % m.dtype.alignment == 0:
        return m, np.frombuffer(view, np.uint8, m.nbytes, m.offset)
    raw = np.empty(m.nbytes, np.uint8)
    f.seek(m.offset)
    if f.readinto(raw) != m.nbytes:  # type: ignore[arg-type]
        raise ValueError(f"{source}: field {m.field!r}: the file ends inside the data (truncated?)")
    return m, raw


def _checksum(m: _Member, raw: np.ndarray) -> int:
    return zlib.crc32(raw.data, zlib.crc32(m.header))


def _checked(m: _Member, raw: np.ndarray, crc: Optional[int] = None) -> np.ndarray:
    """The array of member `m` over its bytes `raw`, once their CRC-32 (computed here
    unless given) matches the archive's."""
    if (_checksum(m, raw) if crc is None else crc) != m.info.CRC:
        raise ValueError(f"{m.source}: field {m.field!r}: the data does not match its CRC-32 (corrupted file)")
    arr: np.ndarray = raw.view(m.dtype).reshape(m.shape)
    return arr
