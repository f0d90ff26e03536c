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

A Gateway is one modem and one message store: it sends with a record, takes everything the
modem holds in one pass, watches for what arrives and sends what was queued:

    with Gateway(device="/dev/ttyUSB2", pin="1234") as gw:
        if gw.open() == ModemStatus.OK:
            sent = gw.send("+447700900123", "Back at five")
            gw.take_all()
            for m in gw.new_messages():
                print(m.sender, m.text)
                gw.mark_handed_out(m.id)

A Service is the gateway service `selvarn-sms serve` runs, without its HTTP face: one
session per modem from a configuration file, an outbox with retries, received messages
and reports passed on:

    with Service("/etc/selvarn-sms/gateway.toml") as svc:
        svc.start()
        sent = svc.submit("+447700900123", "Back at five", idempotency_key="order-17")
        print(svc.message(sent["id"])["state"])

The module needs the shared library libselvarnsms, found in this order: the path in
$SELVARN_SMS_LIBRARY; a libselvarnsms.so* next to this file; the library registered
(DllRegisterServer) in $XDG_CONFIG_HOME/selvarn-sms/registry.json; the installed library,
which the system's loader finds by its name libselvarnsms.so.6. It is plain Python over
the library's C interface: nothing to compile. library_version() tells which version
was loaded.
"""

from __future__ import annotations  # "int | None" before Python 3.10

import collections
import ctypes
import dataclasses
import enum
import glob
import inspect
import json
import os

__all__ = ["SMS", "SMSError", "ModemStatus", "DeliveryStatus", "StartReason", "StartReport",
           "NoticeKind", "Notice", "library_path", "library_version",
           "Gateway", "hand_to_watcher", "plan", "SendCoding", "Coding", "DeliveryState",
           "SendState", "PartSend", "TextPlan", "SentPart", "SentRecord", "SendOutcome",
           "TakeAllResult", "Message", "Report", "Service", "Refused"]

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


class Refused(SMSError):
    """A message the Service would not queue: the `field` at fault and why."""

    def __init__(self, field, message):
        super().__init__(5, f"{field}: {message}")
        self.field = field
        self.message = message


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


class _GatewayOptions(ctypes.Structure):
    _fields_ = [("device", ctypes.c_char_p), ("port", ctypes.c_int16), ("pin", ctypes.c_char_p),
                ("store", ctypes.c_char_p), ("part_wait", ctypes.c_int32),
                ("sweep", ctypes.c_int32)]


class _TextPlan(ctypes.Structure):
    _fields_ = [("coding", ctypes.c_int32), ("concatenated", ctypes.c_int32),
                ("unmapped", ctypes.c_int32), ("parts", ctypes.c_int32),
                ("lengths", ctypes.POINTER(ctypes.c_int32))]


class _Outgoing(ctypes.Structure):
    _fields_ = [("number", ctypes.c_char_p), ("text", ctypes.c_char_p),
                ("coding", ctypes.c_int32), ("report", ctypes.c_int32),
                ("reference", ctypes.c_int32)]


class _SentPart(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_int32), ("reference", ctypes.c_int32),
                ("state", ctypes.c_int32), ("status", ctypes.c_int32),
                ("reported_at", ctypes.c_int64), ("send", ctypes.c_int32)]


class _SentRecord(ctypes.Structure):
    _fields_ = [("id", ctypes.c_int64), ("recipient", ctypes.c_void_p), ("text", ctypes.c_void_p),
                ("coding", ctypes.c_int32), ("sent_at", ctypes.c_int64), ("state", ctypes.c_int32),
                ("send_state", ctypes.c_int32), ("error", ctypes.c_void_p),
                ("part_count", ctypes.c_int32), ("parts", ctypes.POINTER(_SentPart))]


class _SendOutcome(ctypes.Structure):
    _fields_ = [("id", ctypes.c_int64), ("coding", ctypes.c_int32),
                ("has_record", ctypes.c_int32), ("record", _SentRecord),
                ("reference_count", ctypes.c_int32),
                ("references", ctypes.POINTER(ctypes.c_int32)),
                ("error_number", ctypes.c_int32), ("error", ctypes.c_void_p)]


class _TakeResult(ctypes.Structure):
    _fields_ = [("parts", ctypes.c_int32), ("reports", ctypes.c_int32),
                ("quarantined", ctypes.c_int32), ("left", ctypes.c_int32),
                ("stuck", ctypes.c_int32), ("unlisted", ctypes.c_int32),
                ("warning_count", ctypes.c_int32), ("warnings", ctypes.POINTER(ctypes.c_void_p))]


class _Message(ctypes.Structure):
    _fields_ = [("id", ctypes.c_int64), ("sender", ctypes.c_void_p), ("text", ctypes.c_void_p),
                ("smsc", ctypes.c_void_p), ("scts", ctypes.c_void_p), ("total", ctypes.c_int32),
                ("present", ctypes.c_int32), ("reference", ctypes.c_int32),
                ("received_at", ctypes.c_int64), ("completed_at", ctypes.c_int64),
                ("handed_out_at", ctypes.c_int64)]


class _Report(ctypes.Structure):
    _fields_ = [("id", ctypes.c_int64), ("reference", ctypes.c_int32),
                ("recipient", ctypes.c_void_p), ("scts", ctypes.c_void_p),
                ("discharge", ctypes.c_void_p), ("status", ctypes.c_int32),
                ("received_at", ctypes.c_int64), ("sent_id", ctypes.c_int64),
                ("sequence", ctypes.c_int32)]


_OnProgress = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p)
_OnMessage = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Message), ctypes.c_void_p)
_OnReport = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Report), ctypes.c_int32, ctypes.c_void_p)
_OnSent = ctypes.CFUNCTYPE(None, ctypes.POINTER(_SendOutcome), ctypes.c_void_p)
_OnWarning = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


class _WatchHandlers(ctypes.Structure):
    _fields_ = [("message", _OnMessage), ("report", _OnReport), ("sent", _OnSent),
                ("warning", _OnWarning), ("user", ctypes.c_void_p)]


class _Submission(ctypes.Structure):
    _fields_ = [("to", ctypes.c_char_p), ("text", ctypes.c_char_p), ("coding", ctypes.c_int32),
                ("report", ctypes.c_int32), ("modem", ctypes.c_char_p), ("tag", ctypes.c_char_p),
                ("idempotency_key", ctypes.c_char_p)]


class _SubmitResult(ctypes.Structure):
    _fields_ = [("id", ctypes.c_int64), ("existed", ctypes.c_int32), ("json", ctypes.c_void_p),
                ("field", ctypes.c_void_p), ("message", ctypes.c_void_p)]


_WebhookPoster = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_char_p, ctypes.c_char_p,
                                  ctypes.c_char_p, ctypes.c_void_p)

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
    _P, _I32, _I64 = ctypes.POINTER, ctypes.c_int32, ctypes.c_int64
    gateway = ctypes.c_void_p
    for name, args in {
            "new": [_P(_GatewayOptions), _P(gateway)], "open": [gateway, _P(_I32)],
            "start_report": [gateway, _P(_StartReport)], "close": [gateway],
            "registered": [gateway, _P(ctypes.c_int16)],
            "plan": [ctypes.c_char_p, _I32, _P(_TextPlan)],
            "send": [gateway, _P(_Outgoing), _OnProgress, ctypes.c_void_p, _P(_SendOutcome)],
            "wait_reports": [gateway, _I64, _I32, _P(_SentRecord)],
            "enqueue": [gateway, _P(_Outgoing), _P(_I64)],
            "hand_to_watcher": [ctypes.c_char_p, _P(_Outgoing), _P(_I64)],
            "take": [gateway, _P(_TakeResult)],
            "new_messages": [gateway, _P(_P(_Message)), _P(_I32)],
            "mark_handed_out": [gateway, _I64, _P(_I32)],
            "inbox": [gateway, _I64, _P(_P(_Message)), _P(_I32)],
            "outbox": [gateway, _I64, _P(_P(_SentRecord)), _P(_I32)],
            "sent": [gateway, _I64, _P(_SentRecord)],
            "reports": [gateway, _I64, _P(_P(_Report)), _P(_I32)],
            "watch": [gateway, _P(_WatchHandlers)]}.items():
        function = getattr(lib, "selvarn_gateway_" + name)
        function.argtypes, function.restype = args, _HRESULT
    for name, args in {"gateway_options_init": [_P(_GatewayOptions)], "gateway_free": [gateway],
                       "gateway_stop": [gateway], "outgoing_init": [_P(_Outgoing)],
                       "text_plan_clear": [_P(_TextPlan)], "sent_record_clear": [_P(_SentRecord)],
                       "sent_records_free": [_P(_SentRecord), _I32],
                       "send_outcome_clear": [_P(_SendOutcome)],
                       "take_result_clear": [_P(_TakeResult)],
                       "messages_free": [_P(_Message), _I32], "reports_free": [_P(_Report), _I32]}.items():
        function = getattr(lib, "selvarn_" + name)
        function.argtypes, function.restype = args, None
    service, text_out = ctypes.c_void_p, _P(ctypes.c_void_p)
    for name, args in {
            "open": [ctypes.c_char_p, _WebhookPoster, ctypes.c_void_p, _P(service)],
            "start": [service], "stop": [service],
            "submit": [service, _P(_Submission), _P(_SubmitResult)],
            "message": [service, _I64, text_out], "inbox": [service, _I64, _I32, text_out],
            "reports": [service, _I64, _I32, text_out], "modems": [service, text_out],
            "metrics": [service, text_out], "reload": [service, ctypes.c_char_p]}.items():
        function = getattr(lib, "selvarn_service_" + name)
        function.argtypes, function.restype = args, _HRESULT
    for name, args in {"service_free": [service], "submission_init": [_P(_Submission)],
                       "submit_result_clear": [_P(_SubmitResult)]}.items():
        function = getattr(lib, "selvarn_" + name)
        function.argtypes, function.restype = args, None
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


def _start_report(fill, handle):
    """A StartReport from a C call that fills one for `handle`; its texts are freed here."""
    raw = _StartReport()
    _check(fill(handle, ctypes.byref(raw)))
    try:
        return StartReport(ModemStatus(raw.status), StartReason(raw.reason),
                           _text(raw.device), _text(raw.detail), raw.holder_pid,
                           list(raw.speeds_tried[:raw.speed_count]), raw.error,
                           _text(raw.notice))
    finally:
        _lib.selvarn_StartReportClear(ctypes.byref(raw))


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
        return _start_report(_lib.selvarn_GetStartReport, self._pointer)

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


# --- The modem session ---------------------------------------------------------------

class SendCoding(enum.IntEnum):
    """How a text is asked to go."""
    Auto = 0  # GSM 7-bit when it carries the text, else UCS-2
    Gsm7 = 1
    Ucs2 = 2


class Coding(enum.IntEnum):
    """How a stored message went (its TP-DCS alphabet)."""
    Gsm7 = 0
    Data8 = 4
    Ucs2 = 8


class DeliveryState(enum.IntEnum):
    Pending = 0
    Delivered = 1
    Failed = 2


class SendState(enum.IntEnum):
    """How far a message's sending got."""
    Sending = 0
    Sent = 1
    PartlySent = 2
    NotSent = 3
    Uncertain = 4
    Queued = 5


class PartSend(enum.IntEnum):
    """How far one part got."""
    Waiting = 0
    Writing = 1
    Taken = 2
    Uncertain = 3
    Refused = 4


@dataclasses.dataclass
class TextPlan:
    """How a text goes out: the coding, each part's septets (GSM 7-bit) or UTF-16 units
    (UCS-2), and the characters GSM 7-bit cannot carry (sent as "?")."""
    coding: SendCoding
    concatenated: bool
    lengths: list
    unmapped: int

    @property
    def parts(self):
        return len(self.lengths)


@dataclasses.dataclass
class SentPart:
    sequence: int
    reference: int            # TP-MR; -1 when none is known
    state: DeliveryState
    status: int | None        # TP-ST of the latest report
    reported_at: int | None   # Unix seconds
    send: PartSend


@dataclasses.dataclass
class SentRecord:
    """A message sent or queued, as the store keeps it; times in Unix seconds."""
    id: int
    recipient: str
    text: str
    coding: Coding
    sent_at: int
    state: DeliveryState
    send_state: SendState
    error: str
    parts: list


@dataclasses.dataclass
class SendOutcome:
    """What a send did. error_number and error say what ended a send after it was
    recorded; record is None when the store could not be read back."""
    id: int
    coding: Coding
    record: SentRecord | None
    references: list
    error_number: int
    error: str


@dataclasses.dataclass
class TakeAllResult:
    parts: int        # message parts stored and deleted
    reports: int      # status reports stored and deleted
    quarantined: int  # undecodable entries kept in the store and deleted
    left: int         # entries left on the modem
    stuck: bool       # the modem refused to delete an entry it handed over
    unlisted: bool    # the modem would not list a storage
    warnings: list


@dataclasses.dataclass
class Message:
    """A received message as the store keeps it; times in Unix seconds, None when not yet."""
    id: int
    sender: str
    text: str
    smsc: str
    scts: str
    total: int
    present: int
    reference: int | None  # concatenation reference; None for a single message
    received_at: int
    completed_at: int | None
    handed_out_at: int | None


@dataclasses.dataclass
class Report:
    """A status report as the store keeps it, with the message it was matched to."""
    id: int
    reference: int
    recipient: str
    scts: str
    discharge: str
    status: int
    received_at: int
    sent_id: int | None
    sequence: int


def _text_in(value, what):
    """str as UTF-8 bytes for the library (None stays None: the library's empty text)."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise SMSError(13, f"Type mismatch: {what} cannot be {type(value).__name__}")
    data = value.encode("utf-8", "surrogatepass")
    if b"\0" in data:
        raise SMSError(5, f"Invalid procedure call or argument: {what} holds NUL")
    return data


def _int(value, bits, what):
    """An int that fits the C argument; ctypes would wrap it silently."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise SMSError(13, f"Type mismatch: {what} cannot be {type(value).__name__}")
    if not -2**(bits - 1) <= value < 2**(bits - 1):
        raise SMSError(6, f"Overflow: {what} {value}")
    return value


def _or_none(value, none=0):
    return None if value == none else value


def _sent_record(r):
    parts = [SentPart(p.sequence, p.reference, DeliveryState(p.state), _or_none(p.status, -1),
                      _or_none(p.reported_at), PartSend(p.send)) for p in r.parts[:r.part_count]]
    return SentRecord(r.id, _text(r.recipient), _text(r.text), Coding(r.coding), r.sent_at,
                      DeliveryState(r.state), SendState(r.send_state), _text(r.error), parts)


def _send_outcome(o):
    return SendOutcome(o.id, Coding(o.coding), _sent_record(o.record) if o.has_record else None,
                       list(o.references[:o.reference_count]), o.error_number, _text(o.error))


def _message(m):
    return Message(m.id, _text(m.sender), _text(m.text), _text(m.smsc), _text(m.scts), m.total,
                   m.present, _or_none(m.reference, -1), m.received_at, _or_none(m.completed_at),
                   _or_none(m.handed_out_at))


def _report(r):
    return Report(r.id, r.reference, _text(r.recipient), _text(r.scts), _text(r.discharge),
                  r.status, r.received_at, _or_none(r.sent_id), r.sequence)


def _outgoing(number, text, coding, report, reference):
    out = _Outgoing()
    _lib.selvarn_outgoing_init(ctypes.byref(out))
    out.number, out.text = _text_in(number, "the number"), _text_in(text, "the text")
    out.coding, out.report = _int(int(coding), 32, "coding"), 1 if report else 0
    out.reference = _int(reference, 32, "the reference")
    return out


def plan(text, coding=SendCoding.Auto):
    """How `text` goes out, as a TextPlan: the planner the sends follow."""
    raw = _TextPlan()
    _check(_lib.selvarn_gateway_plan(_text_in(text, "the text"), _int(int(coding), 32, "coding"),
                                     ctypes.byref(raw)))
    try:
        return TextPlan(SendCoding(raw.coding), bool(raw.concatenated),
                        list(raw.lengths[:raw.parts]), raw.unmapped)
    finally:
        _lib.selvarn_text_plan_clear(ctypes.byref(raw))


def hand_to_watcher(store, number, text, coding=SendCoding.Auto, report=True, reference=-1):
    """From a process without the modem: queues a message for the Gateway watching with the
    store file `store` (None: the default) and wakes it; returns the message's id. Raises
    SMSError 8005, nothing queued, when none watches."""
    out = _outgoing(number, text, coding, report, reference)
    queued = ctypes.c_int64()
    _check(_lib.selvarn_gateway_hand_to_watcher(_text_in(store, "the store"), ctypes.byref(out),
                                                ctypes.byref(queued)))
    return queued.value


def _list(function, pointer, convert, free, *args):
    raw, count = ctypes.POINTER(pointer)(), ctypes.c_int32()
    _check(function(*args, ctypes.byref(raw), ctypes.byref(count)))
    try:
        return [convert(item) for item in raw[:count.value]]
    finally:
        free(raw, count)


class Gateway:
    """One modem, by device path or port number, and one message store (None: the default
    file). Used on the thread that opened it; stop() alone may be called from any thread or
    a signal handler. Leaving a `with` block (or close_all()) frees it and closes the modem."""

    def __init__(self, device=None, port=1, pin=None, store=None, part_wait=120, sweep=30):
        options = _GatewayOptions()
        _lib.selvarn_gateway_options_init(ctypes.byref(options))
        options.device, options.pin = _text_in(device, "the device"), _text_in(pin, "the PIN")
        options.store = _text_in(store, "the store")
        options.port = _int(port, 16, "the port")
        options.part_wait = _int(part_wait, 32, "part_wait")
        options.sweep = _int(sweep, 32, "sweep")
        self._gateway = ctypes.c_void_p()
        _check(_lib.selvarn_gateway_new(ctypes.byref(options), ctypes.byref(self._gateway)))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close_all()

    def __del__(self):
        self.close_all()

    def close_all(self):
        """Closes the modem and the store; the object is of no further use."""
        gateway = getattr(self, "_gateway", None)
        if gateway:
            _lib.selvarn_gateway_free(gateway)
            self._gateway = None

    def _g(self):
        if not self._gateway:
            raise SMSError(8012, "Device not open: the gateway was closed with close_all()")
        return self._gateway

    def open(self):
        """Runs the start-up; ModemStatus.OK leaves the modem open. last_start() says why not."""
        status = ctypes.c_int32()
        _check(_lib.selvarn_gateway_open(self._g(), ctypes.byref(status)))
        return ModemStatus(status.value)

    def last_start(self):
        """What the last open() found, as a StartReport."""
        return _start_report(_lib.selvarn_gateway_start_report, self._g())

    def registered(self):
        """Whether the modem is registered on a network, home or roaming (AT+CREG?), as
        SMS.ConnectToGSM asks; False when it is not or the gateway is not open."""
        value = ctypes.c_int16()
        _check(_lib.selvarn_gateway_registered(self._g(), ctypes.byref(value)))
        return value.value != 0

    def close(self):
        """Closes the modem; open() may open it again, and the store stays."""
        _check(_lib.selvarn_gateway_close(self._g()))

    plan = staticmethod(plan)

    def send(self, number, text, coding=SendCoding.Auto, report=True, reference=-1,
             progress=None):
        """Records the message, sends it part by part and records each answer; returns a
        SendOutcome. progress(taken, total) is called after each part taken; an exception
        it raises does not stop the send and is raised when the send is done."""
        out = _outgoing(number, text, coding, report, reference)
        raised = []

        def step(taken, total, _user):
            try:
                progress(taken, total)
            except BaseException as e:  # reported when the send returns
                raised.append(e)
        callback = _OnProgress(step) if progress else _OnProgress()
        raw = _SendOutcome()
        _check(_lib.selvarn_gateway_send(self._g(), ctypes.byref(out), callback, None,
                                         ctypes.byref(raw)))
        try:
            outcome = _send_outcome(raw)
        finally:
            _lib.selvarn_send_outcome_clear(ctypes.byref(raw))
        if raised:
            raise raised[0]
        return outcome

    def wait_reports(self, id, seconds):
        """Takes reports until every part of message `id` has a final one or `seconds`
        pass; the SentRecord then (None: no such message)."""
        raw = _SentRecord()
        limit = min(int(seconds * 1000), 2**31 - 1)  # about 24 days at most
        found = _lib.selvarn_gateway_wait_reports(self._g(), _int(id, 64, "the id"), limit,
                                                  ctypes.byref(raw))
        _check(found)
        try:
            return _sent_record(raw) if found == 0 else None
        finally:
            _lib.selvarn_sent_record_clear(ctypes.byref(raw))

    def enqueue(self, number, text, coding=SendCoding.Auto, report=True, reference=-1):
        """Queues a message in the store for watch() to send; returns its id."""
        out = _outgoing(number, text, coding, report, reference)
        queued = ctypes.c_int64()
        _check(_lib.selvarn_gateway_enqueue(self._g(), ctypes.byref(out), ctypes.byref(queued)))
        return queued.value

    def take_all(self):
        """Everything the modem holds, stored, then deleted from it; a TakeAllResult."""
        raw = _TakeResult()
        _check(_lib.selvarn_gateway_take(self._g(), ctypes.byref(raw)))
        try:
            return TakeAllResult(raw.parts, raw.reports, raw.quarantined, raw.left,
                                 bool(raw.stuck), bool(raw.unlisted),
                                 [_text(w) for w in raw.warnings[:raw.warning_count]])
        finally:
            _lib.selvarn_take_result_clear(ctypes.byref(raw))

    def watch(self, on_message=None, on_report=None, on_sent=None, on_warning=None):
        """Takes what waits, then until stop(): reacts to each notice, takes everything
        every sweep and sends what is queued. on_message(Message) (the message is marked
        handed out when it returns), on_report(Report, DeliveryState of its message),
        on_sent(SendOutcome) for a queued message sent, on_warning(str). An exception in a
        callback stops the watch and is raised from it."""
        raised = []

        def guarded(function, convert):
            def call(*args):
                if raised:
                    return
                try:
                    function(*convert(*args[:-1]))
                except BaseException as e:
                    raised.append(e)
                    self.stop()
            return call
        handlers = _WatchHandlers(
            _OnMessage(guarded(on_message, lambda m: (_message(m.contents),))) if on_message else _OnMessage(),
            _OnReport(guarded(on_report, lambda r, s: (_report(r.contents), DeliveryState(s)))) if on_report else _OnReport(),
            _OnSent(guarded(on_sent, lambda o: (_send_outcome(o.contents),))) if on_sent else _OnSent(),
            _OnWarning(guarded(on_warning, lambda w: (w.decode("utf-8", "replace"),))) if on_warning else _OnWarning(),
            None)
        _check(_lib.selvarn_gateway_watch(self._g(), ctypes.byref(handlers)))
        if raised:
            raise raised[0]

    def stop(self):
        """Ends watch() at its next step; from any thread."""
        gateway = self._gateway
        if gateway:
            _lib.selvarn_gateway_stop(gateway)

    def new_messages(self):
        """Whole messages not yet handed out, oldest first."""
        return _list(_lib.selvarn_gateway_new_messages, _Message, _message,
                     _lib.selvarn_messages_free, self._g())

    def mark_handed_out(self, id):
        """True when message `id` was marked now; False when it already was or is unknown."""
        marked = ctypes.c_int32()
        _check(_lib.selvarn_gateway_mark_handed_out(self._g(), id, ctypes.byref(marked)))
        return marked.value != 0

    def inbox(self, since=0):
        """Messages whose first part arrived at or after `since` (Unix seconds)."""
        return _list(_lib.selvarn_gateway_inbox, _Message, _message, _lib.selvarn_messages_free,
                     self._g(), since)

    def outbox(self, since=0):
        """Messages sent or queued at or after `since`, as SentRecords."""
        return _list(_lib.selvarn_gateway_outbox, _SentRecord, _sent_record,
                     _lib.selvarn_sent_records_free, self._g(), since)

    def sent(self, id):
        """The SentRecord of message `id`, or None."""
        raw = _SentRecord()
        found = _lib.selvarn_gateway_sent(self._g(), id, ctypes.byref(raw))
        _check(found)
        try:
            return _sent_record(raw) if found == 0 else None
        finally:
            _lib.selvarn_sent_record_clear(ctypes.byref(raw))

    def reports(self, since=0):
        """Status reports received at or after `since`, matched or not."""
        return _list(_lib.selvarn_gateway_reports, _Report, _report, _lib.selvarn_reports_free,
                     self._g(), since)


def _taken_text(fill, *args):
    """Library-allocated text a call fills, as str (None when it says S_FALSE), freed."""
    raw = ctypes.c_void_p()
    found = fill(*args, ctypes.byref(raw))
    _check(found)
    try:
        return _text(raw.value) if found == 0 and raw.value else None
    finally:
        _lib.selvarn_FreeString(raw)


class Service:
    """The gateway service over the configuration file `config` (TOML): a session per modem,
    each on its own thread, one outbox, and what arrives passed on to the commands and
    webhooks it names. A bad file raises SMSError 5 with every error, one
    "file:line: message" a line. `post(url, body, headers)` posts a webhook (headers a dict)
    and returns the HTTP status, or None when none came; it is called from the service's
    threads, and an exception it raises counts as no answer. Leaving a `with` block (or
    close()) stops the service and closes the store."""

    def __init__(self, config, post=None):
        self._poster = _WebhookPoster(self._poster_of(post)) if post else _WebhookPoster()
        self._service = ctypes.c_void_p()
        _check(_lib.selvarn_service_open(_text_in(config, "the configuration"), self._poster,
                                         None, ctypes.byref(self._service)))

    @staticmethod
    def _poster_of(post):
        def call(url, body, headers, _user):
            try:
                lines = headers.decode("utf-8", "replace").splitlines()
                status = post(url.decode("utf-8", "replace"), body.decode("utf-8", "replace"),
                              dict(line.split(": ", 1) for line in lines if ": " in line))
                return -1 if status is None else int(status)
            except Exception:  # no answer: the delivery is tried again
                return -1
        return call

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def _s(self):
        if not self._service:
            raise SMSError(8012, "Device not open: the service was closed with close()")
        return self._service

    def start(self):
        """Recovers what a previous run left and starts a thread per modem; returns at once."""
        _check(_lib.selvarn_service_start(self._s()))

    def stop(self):
        """Stops taking messages, lets each modem finish the part in flight, stops every
        thread; what was queued stays queued."""
        _check(_lib.selvarn_service_stop(self._s()))

    def close(self):
        """Stops the service and closes the store; the object is of no further use."""
        service = getattr(self, "_service", None)
        if service:
            _lib.selvarn_service_free(service)
            self._service = None

    def submit(self, to, text, coding=SendCoding.Auto, report=True, modem=None, tag=None,
               idempotency_key=None):
        """Queues a message (in the store when this returns) and routes it; the message as
        message() gives it, with "existed": True when its idempotency key named an earlier
        one. Raises Refused, nothing queued, naming the field at fault."""
        raw = _Submission()
        _lib.selvarn_submission_init(ctypes.byref(raw))
        raw.to, raw.text = _text_in(to, "to"), _text_in(text, "text")
        raw.coding, raw.report = _int(int(coding), 32, "coding"), 1 if report else 0
        raw.modem, raw.tag = _text_in(modem, "modem"), _text_in(tag, "tag")
        raw.idempotency_key = _text_in(idempotency_key, "idempotency_key")
        result = _SubmitResult()
        refused = _lib.selvarn_service_submit(self._s(), ctypes.byref(raw), ctypes.byref(result))
        _check(refused)
        try:
            if refused != 0:
                raise Refused(_text(result.field), _text(result.message))
            accepted = json.loads(_text(result.json))
            accepted["existed"] = bool(result.existed)
            return accepted
        finally:
            _lib.selvarn_submit_result_clear(ctypes.byref(result))

    def message(self, id):
        """Message `id` sent or queued, as a dict (state, parts, references, delivery), or
        None."""
        text = _taken_text(_lib.selvarn_service_message, self._s(), _int(id, 64, "the id"))
        return None if text is None else json.loads(text)

    def inbox(self, after=0, limit=100):
        """Received messages with ids above `after`, oldest first, as dicts."""
        return json.loads(_taken_text(_lib.selvarn_service_inbox, self._s(),
                                      _int(after, 64, "after"), _int(limit, 32, "limit")))

    def reports(self, after=0, limit=100):
        """Status reports with ids above `after`, oldest first, as dicts."""
        return json.loads(_taken_text(_lib.selvarn_service_reports, self._s(),
                                      _int(after, 64, "after"), _int(limit, 32, "limit")))

    def modems(self):
        """Each modem's state, signal, registration and queue, as dicts."""
        return json.loads(_taken_text(_lib.selvarn_service_modems, self._s()))

    def metrics(self):
        """The metrics in the Prometheus text format."""
        return _taken_text(_lib.selvarn_service_metrics, self._s())

    def reload(self, config):
        """Applies the configuration file `config` again: modems, routes, retry policy and
        forwarding. A bad file, or one that changes the store, raises SMSError 5 and changes
        nothing."""
        _check(_lib.selvarn_service_reload(self._s(), _text_in(config, "the configuration")))
