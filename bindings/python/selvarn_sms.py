"""Send and receive SMS through a GSM modem on a serial port.

    from selvarn_sms import SMS, ModemStatus

    sms = SMS()
    if sms.InitModem(1, "1234") == ModemStatus.OK and sms.ConnectToGSM():
        sms.SendSMST("+447700900123", "Hello from Python")
    sms.CloseModem()

The class SMS has the library's methods and properties under their own names, with the
library's help strings as their documentation. Booleans come back as bool, ModemStatus
and DeliveryStatus as enum.IntEnum. Run-time errors raise SMSError, which carries the
error's number and description (13: type mismatch, 6: overflow, ...). After InitModem,
sms.LastStart() says why it failed, as a StartReport with a StartReason. sms.TakeNotices()
hands over the modem's notices of messages and reports heard since the last call.

The module needs the shared library libselvarnsms, found in this order: the path in
$SELVARN_SMS_LIBRARY; a libselvarnsms.so* next to this file; the library registered
(DllRegisterServer) in $XDG_CONFIG_HOME/selvarn-sms/registry.json; the installed library,
which the system's loader finds by its name libselvarnsms.so.6. It is plain Python over
the library's C interface: nothing to compile. library_version() tells which version
was loaded.
"""

import collections
import ctypes
import enum
import glob
import inspect
import json
import os

__all__ = ["SMS", "SMSError", "ModemStatus", "DeliveryStatus", "StartReason", "StartReport",
           "NoticeKind", "Notice", "library_path", "library_version"]

PROG_ID = "SelvarnSMSAPI6.SMS"
# The interface this module speaks is that of major version 6; an installed library is
# found by this name as a C program linked with -lselvarnsms finds it (ld.so.cache,
# LD_LIBRARY_PATH).
SONAME = "libselvarnsms.so.6"


class SMSError(RuntimeError):
    """A run-time error of the library: `number`, `description` and the `hresult`."""

    def __init__(self, number, description, hresult=None):
        super().__init__(f"{number}: {description}")
        self.number = number
        self.description = description
        self.hresult = hresult


# --- The C interface (selvarn/selvarn_sms.h) ----------------------------------------

_HRESULT = ctypes.c_int32
_VT_EMPTY, _VT_I2, _VT_I4, _VT_BSTR, _VT_ERROR, _VT_BOOL = 0, 2, 3, 8, 10, 11
_DISP_E_PARAMNOTFOUND = -2147352572  # 0x80020004: an argument left out
_DISPATCH_METHOD, _DISPATCH_PROPERTYGET, _DISPATCH_PROPERTYPUT = 1, 2, 4
_INVOKE_FUNC, _INVOKE_PROPERTYGET, _INVOKE_PROPERTYPUT = 1, 2, 4
_PARAMFLAG_FOPT = 0x10
_INT32 = (-(2**31), 2**31 - 1)


class _Guid(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16),
                ("Data3", ctypes.c_uint16), ("Data4", ctypes.c_uint8 * 8)]


class _Value(ctypes.Union):
    _fields_ = [("iVal", ctypes.c_int16), ("lVal", ctypes.c_int32),
                ("boolVal", ctypes.c_int16), ("scode", ctypes.c_int32),
                ("bstrVal", ctypes.c_void_p)]


class _Variant(ctypes.Structure):
    _anonymous_ = ("u",)
    _fields_ = [("vt", ctypes.c_uint16), ("u", _Value)]


class _DispParams(ctypes.Structure):
    _fields_ = [("rgvarg", ctypes.POINTER(_Variant)),
                ("rgdispidNamedArgs", ctypes.POINTER(ctypes.c_int32)),
                ("cArgs", ctypes.c_uint32), ("cNamedArgs", ctypes.c_uint32)]


class _ParamDesc(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("vt", ctypes.c_uint16),
                ("flags", ctypes.c_uint16), ("type_name", ctypes.c_char_p)]


class _FuncDesc(ctypes.Structure):
    _fields_ = [("memid", ctypes.c_int32), ("name", ctypes.c_char_p),
                ("invkind", ctypes.c_int32), ("vtable_slot", ctypes.c_int32),
                ("param_count", ctypes.c_int32), ("params", ctypes.POINTER(_ParamDesc)),
                ("result_vt", ctypes.c_uint16), ("result_type_name", ctypes.c_char_p),
                ("help", ctypes.c_char_p)]


class _EnumConst(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("value", ctypes.c_int32),
                ("help", ctypes.c_char_p)]


class _EnumDesc(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("count", ctypes.c_int32),
                ("members", ctypes.POINTER(_EnumConst))]


class _TypeInfo(ctypes.Structure):
    _fields_ = [("library_name", ctypes.c_char_p), ("major_version", ctypes.c_uint16),
                ("minor_version", ctypes.c_uint16), ("lcid", ctypes.c_uint32),
                ("libid", _Guid), ("interface_name", ctypes.c_char_p), ("iid", _Guid),
                ("type_flags", ctypes.c_uint32), ("class_name", ctypes.c_char_p),
                ("clsid", _Guid), ("prog_id", ctypes.c_char_p),
                ("func_count", ctypes.c_int32), ("funcs", ctypes.POINTER(_FuncDesc)),
                ("enum_count", ctypes.c_int32), ("enums", ctypes.POINTER(_EnumDesc))]


class _StartReport(ctypes.Structure):
    _fields_ = [("status", ctypes.c_int32), ("reason", ctypes.c_int32),
                ("device", ctypes.c_void_p), ("detail", ctypes.c_void_p),
                ("notice", ctypes.c_void_p), ("holder_pid", ctypes.c_int32),
                ("error", ctypes.c_int32), ("speed_count", ctypes.c_int32),
                ("speeds_tried", ctypes.c_int32 * 8)]


class _Notice(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("index", ctypes.c_int32),
                ("memory", ctypes.c_void_p), ("line", ctypes.c_void_p),
                ("data", ctypes.c_void_p)]


_Release = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)
_Invoke = ctypes.CFUNCTYPE(
    _HRESULT, ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(_Guid), ctypes.c_uint32,
    ctypes.c_uint16, ctypes.POINTER(_DispParams), ctypes.POINTER(_Variant), ctypes.c_void_p,
    ctypes.POINTER(ctypes.c_uint32))
_CreateInstance = ctypes.CFUNCTYPE(_HRESULT, ctypes.c_void_p, ctypes.c_void_p,
                                   ctypes.POINTER(_Guid), ctypes.POINTER(ctypes.c_void_p))


class _DispatchVtbl(ctypes.Structure):
    """The identity and dispatch slots that begin the _SMS table."""
    _fields_ = [("QueryInterface", ctypes.c_void_p), ("AddRef", _Release),
                ("Release", _Release), ("GetTypeInfoCount", ctypes.c_void_p),
                ("GetTypeInfo", ctypes.c_void_p), ("GetIDsOfNames", ctypes.c_void_p),
                ("Invoke", _Invoke)]


class _FactoryVtbl(ctypes.Structure):
    _fields_ = [("QueryInterface", ctypes.c_void_p), ("AddRef", _Release),
                ("Release", _Release), ("CreateInstance", _CreateInstance),
                ("LockServer", ctypes.c_void_p)]


def _vtable(pointer, layout):
    return ctypes.cast(pointer, ctypes.POINTER(ctypes.POINTER(layout))).contents.contents


# --- Finding and loading the library ----------------------------------------------------

def _registry_path():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(
        os.path.expanduser("~"), ".config")
    return os.path.join(config, "selvarn-sms", "registry.json")


def _registered_library():
    try:
        with open(_registry_path(), encoding="utf-8") as f:
            registry = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(registry, dict):
        return None
    for prog_id, record in registry.items():
        if prog_id.lower() == PROG_ID.lower() and isinstance(record, dict):
            return record.get("library")
    return None


def _find_library():
    path = os.environ.get("SELVARN_SMS_LIBRARY")
    if path:
        return path
    here = os.path.dirname(os.path.abspath(__file__))
    beside = sorted(glob.glob(os.path.join(here, "libselvarnsms.so*")), key=len)
    if beside:
        return beside[0]
    registered = _registered_library()
    # A registration left behind by a build that is gone does not hide the installed one.
    if registered and os.path.exists(registered):
        return registered
    return SONAME


def _load(path):
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        hint = ""
        if path == SONAME:
            hint = (" (install the library, e.g. cmake --install or the selvarn-sms package, "
                    "or set SELVARN_SMS_LIBRARY to its path)")
        raise ImportError(f"selvarn_sms: cannot load {path}: {e}{hint}") from e
    lib.selvarn_LibraryVersion.argtypes = []
    lib.selvarn_LibraryVersion.restype = ctypes.c_char_p
    lib.selvarn_LoadTypeLib.argtypes = [ctypes.POINTER(ctypes.POINTER(_TypeInfo))]
    lib.selvarn_GetErrorInfo.argtypes = [ctypes.POINTER(ctypes.c_int32),
                                         ctypes.POINTER(ctypes.c_void_p)]
    lib.selvarn_StringLength.argtypes = [ctypes.c_void_p]
    lib.selvarn_StringLength.restype = ctypes.c_size_t
    lib.selvarn_FreeString.argtypes = [ctypes.c_void_p]
    lib.selvarn_FreeString.restype = None
    lib.selvarn_VariantClear.argtypes = [ctypes.POINTER(_Variant)]
    lib.selvarn_VariantClear.restype = None
    lib.selvarn_GetStartReport.argtypes = [ctypes.c_void_p, ctypes.POINTER(_StartReport)]
    lib.selvarn_StartReportClear.argtypes = [ctypes.POINTER(_StartReport)]
    lib.selvarn_StartReportClear.restype = None
    lib.selvarn_TakeNotices.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(_Notice)),
                                        ctypes.POINTER(ctypes.c_int32)]
    lib.selvarn_NoticesFree.argtypes = [ctypes.POINTER(_Notice), ctypes.c_int32]
    lib.selvarn_NoticesFree.restype = None
    lib.DllGetClassObject.argtypes = [ctypes.POINTER(_Guid), ctypes.POINTER(_Guid),
                                      ctypes.POINTER(ctypes.c_void_p)]
    return lib


library_path = _find_library()
_lib = _load(library_path)


def library_version():
    """The loaded library's version, "major.minor.patch"."""
    return _lib.selvarn_LibraryVersion().decode("ascii")


def _text(pointer):
    """Library-allocated text as str (its length is kept, so NUL survives)."""
    size = _lib.selvarn_StringLength(pointer)
    return ctypes.string_at(pointer, size).decode("utf-8", errors="replace")


def _check(hresult):
    """Raises the thread's error info as SMSError when hresult reports a failure."""
    if hresult >= 0:
        return
    number = ctypes.c_int32(0)
    description = ctypes.c_void_p()
    if _lib.selvarn_GetErrorInfo(ctypes.byref(number), ctypes.byref(description)) != 0:
        raise SMSError(hresult & 0xFFFF, f"failed with HRESULT 0x{hresult & 0xFFFFFFFF:08X}",
                       hresult)
    text = _text(description.value) if description.value else ""
    _lib.selvarn_FreeString(description)
    raise SMSError(number.value, text, hresult)


# --- The type library: enumerations and the class -------------------------------------

def _name(raw):
    return raw.decode("utf-8")


_info_pointer = ctypes.POINTER(_TypeInfo)()
_check(_lib.selvarn_LoadTypeLib(ctypes.byref(_info_pointer)))
_info = _info_pointer.contents
_enums = {}
for _e in _info.enums[:_info.enum_count]:
    _enums[_name(_e.name)] = enum.IntEnum(
        _name(_e.name), [(_name(m.name), m.value) for m in _e.members[:_e.count]],
        module=__name__)
ModemStatus = _enums["ModemStatus"]
DeliveryStatus = _enums["DeliveryStatus"]


class StartReason(enum.IntEnum):
    """Why the last InitModem of an object did not end in OK (SELVARN_START_* in C)."""
    NoFailure = 0
    InvalidPort = 1
    NoDevice = 2
    NotSerial = 3
    PermissionDenied = 4
    OpenHere = 5
    Busy = 6
    ExclusiveFlag = 7
    NoAnswer = 8
    PINRequired = 9
    PINWrong = 10
    SIMBlocked = 11
    SIMError = 12
    Refused = 13
    PortFailed = 14


StartReport = collections.namedtuple(
    "StartReport", "status reason device detail holder_pid speeds_tried error notice")
StartReport.__doc__ = """What the last InitModem of an object found: the ModemStatus it
returned, the StartReason, where the port led, why in words, the process holding a busy port
(0 when unknown), the line speeds tried (bit/s), the run-time error number behind it (0 for
none), and a notice of something done even after OK (a port taken over)."""


class NoticeKind(enum.IntEnum):
    """What a notice announces (SELVARN_NOTICE_* in C)."""
    MessageStored = 0  # +CMTI: a message stored at memory, index
    ReportStored = 1   # +CDSI: a status report stored at memory, index
    Message = 2        # +CMT: a message handed over; data carries it
    Report = 3         # +CDS: a status report handed over (data in PDU mode)


Notice = collections.namedtuple("Notice", "kind memory index line data")
Notice.__doc__ = """A notice the modem sent unasked: its NoticeKind, the memory and index of
a stored message or report (-1 when the line named none), the line as it came, and the line
after a +CMT or a PDU-mode +CDS."""


def _variant(value, out, what):
    """A Python value as a variant argument; the text stays alive in the returned bytes."""
    if value is None:
        out.vt, out.scode = _VT_ERROR, _DISP_E_PARAMNOTFOUND
    elif isinstance(value, bool):
        out.vt, out.boolVal = _VT_BOOL, -1 if value else 0
    elif isinstance(value, int):
        if not _INT32[0] <= value <= _INT32[1]:
            raise SMSError(6, f"Overflow: {what}")
        out.vt, out.lVal = _VT_I4, value
    elif isinstance(value, (str, bytes)):
        # Lone surrogates go through as they are, for the library to refuse as not UTF-8.
        data = value.encode("utf-8", "surrogatepass") if isinstance(value, str) else value
        if b"\0" in data:
            raise SMSError(5, f"Invalid procedure call or argument: {what} holds NUL")
        buffer = ctypes.create_string_buffer(data)
        out.vt, out.bstrVal = _VT_BSTR, ctypes.cast(buffer, ctypes.c_void_p).value
        return buffer
    else:
        raise SMSError(13, f"Type mismatch: {what} cannot be {type(value).__name__}")
    return None


def _result(variant, type_name):
    if variant.vt == _VT_BOOL:
        return variant.boolVal != 0
    if variant.vt == _VT_BSTR:
        text = _text(variant.bstrVal)
        _lib.selvarn_VariantClear(ctypes.byref(variant))
        return text
    if variant.vt in (_VT_I2, _VT_I4):
        number = variant.iVal if variant.vt == _VT_I2 else variant.lVal
        kind = _enums.get(type_name)
        return kind(number) if kind is not None and number in kind._value2member_map_ else number
    return None


class _SMSBase:
    __slots__ = ("_pointer", "__weakref__")

    def __init__(self):
        factory = ctypes.c_void_p()
        clsid = _Guid.in_dll(_lib, "selvarn_CLSID_SMS")
        _check(_lib.DllGetClassObject(ctypes.byref(clsid),
                                      ctypes.byref(_Guid.in_dll(_lib, "selvarn_IID_IClassFactory")),
                                      ctypes.byref(factory)))
        vtbl = _vtable(factory, _FactoryVtbl)
        pointer = ctypes.c_void_p()
        try:
            _check(vtbl.CreateInstance(factory, None, ctypes.byref(_Guid.in_dll(_lib, "selvarn_IID__SMS")),
                                       ctypes.byref(pointer)))
        finally:
            vtbl.Release(factory)
        self._pointer = pointer

    def __del__(self):
        # The last release closes the serial port this thread's objects share.
        pointer = getattr(self, "_pointer", None)
        if pointer:
            _vtable(pointer, _DispatchVtbl).Release(pointer)
            self._pointer = None

    def LastStart(self):
        """What the last InitModem of this object found, as a StartReport."""
        raw = _StartReport()
        _check(_lib.selvarn_GetStartReport(self._pointer, ctypes.byref(raw)))
        try:
            return StartReport(ModemStatus(raw.status), StartReason(raw.reason),
                               _text(raw.device), _text(raw.detail), raw.holder_pid,
                               list(raw.speeds_tried[:raw.speed_count]), raw.error,
                               _text(raw.notice))
        finally:
            _lib.selvarn_StartReportClear(ctypes.byref(raw))

    def TakeNotices(self):
        """The notices heard on this thread's port since the last call, oldest first, as a
        list of Notice; all objects of a thread share them."""
        raw, count = ctypes.POINTER(_Notice)(), ctypes.c_int32()
        _check(_lib.selvarn_TakeNotices(self._pointer, ctypes.byref(raw), ctypes.byref(count)))
        try:
            return [Notice(NoticeKind(n.kind), _text(n.memory), n.index, _text(n.line),
                           _text(n.data)) for n in raw[:count.value]]
        finally:
            _lib.selvarn_NoticesFree(raw, count)

    def _invoke(self, memid, flags, args, result_type):
        count = len(args)
        variants = (_Variant * max(count, 1))()
        keep = []
        for i, (value, what) in enumerate(args):  # the last argument goes first
            keep.append(_variant(value, variants[count - 1 - i], what))
        params = _DispParams(variants, None, count, 0)
        result = _Variant()
        _check(_vtable(self._pointer, _DispatchVtbl).Invoke(
            self._pointer, memid, None, 0x409, flags, ctypes.byref(params), ctypes.byref(result),
            None, None))
        return _result(result, result_type)


def _property(get, put):
    name = _name(get.name)
    doc = _name(get.help)
    get_id, put_id, kind = get.memid, put.memid, _name(get.result_type_name)

    def fget(self):
        return self._invoke(get_id, _DISPATCH_PROPERTYGET, [], kind)

    def fset(self, value):
        self._invoke(put_id, _DISPATCH_PROPERTYPUT, [(value, f"the value of {name}")], kind)

    return property(fget, fset, doc=doc)


def _method(f):
    name = _name(f.name)
    memid, kind = f.memid, _name(f.result_type_name)
    params = [(_name(p.name), bool(p.flags & _PARAMFLAG_FOPT)) for p in f.params[:f.param_count]]
    positions = {p.lower(): i for i, (p, _) in enumerate(params)}
    required = sum(1 for _, optional in params if not optional)

    def method(self, *args, **kwargs):
        values = list(args)
        for key, value in kwargs.items():
            at = positions.get(key.lower())
            if at is None:
                raise TypeError(f"{name}() got an unexpected keyword argument '{key}'")
            values.extend([None] * (at + 1 - len(values)))
            values[at] = value
        while len(values) > required and values[-1] is None:
            values.pop()  # trailing optional arguments left out
        described = [(v, f"argument {i + 1} of {name}") for i, v in enumerate(values)]
        return self._invoke(memid, _DISPATCH_METHOD, described, kind)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = _name(f.help) or None
    method.__signature__ = inspect.Signature(
        [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)] +
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                           default=None if optional else inspect.Parameter.empty)
         for p, optional in params])
    return method


def _make_class():
    namespace = {"__doc__": "An SMS object: the modem's methods and the properties they fill. "
                            "Objects of one thread share one serial port.",
                 "__slots__": (), "__module__": __name__}
    gets, puts = {}, {}
    for f in _info.funcs[:_info.func_count]:
        if f.invkind == _INVOKE_PROPERTYGET:
            gets[_name(f.name)] = f
        elif f.invkind == _INVOKE_PROPERTYPUT:
            puts[_name(f.name)] = f
        else:
            namespace[_name(f.name)] = _method(f)
    for name, get in gets.items():
        namespace[name] = _property(get, puts[name])
    return type("SMS", (_SMSBase,), namespace)


SMS = _make_class()
