/* selvarn-sms C ABI: the SMS class as a dual automation interface, _SMS.
 *
 * An object is a pointer to a table of functions. Every call returns an HRESULT (negative
 * on failure) and hands its result back through its last argument:
 *
 *   selvarn_SMS* sms = NULL;
 *   int32_t status = 0;
 *   if (selvarn_CreateObject("SelvarnSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms) == 0 &&
 *       sms->lpVtbl->InitModem(sms, 1, "1234", &status) == 0 && status == 1) { ... }
 *   sms->lpVtbl->Release(sms);
 *
 * Text is UTF-8. Text going in is borrowed (NULL is the empty text); text coming out is
 * allocated by the library and freed with selvarn_FreeString. Booleans are
 * selvarn_variant_bool, true -1 and false 0; the enumerations travel as int32_t.
 * When a call fails, selvarn_GetErrorInfo gives the run-time error's number and
 * description (per thread). Objects are used on the thread that created them; releasing
 * the last reference to an object closes the serial port of its thread, as every SMS
 * object of a thread shares one port.
 */
#ifndef SELVARN_SELVARN_SMS_H
#define SELVARN_SELVARN_SMS_H

#include <stddef.h>
#include <stdint.h>

#define SELVARN_C_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t selvarn_hresult;
typedef int16_t selvarn_variant_bool;
#define SELVARN_VARIANT_TRUE ((selvarn_variant_bool)-1)
#define SELVARN_VARIANT_FALSE ((selvarn_variant_bool)0)

#define SELVARN_SUCCEEDED(hr) ((selvarn_hresult)(hr) >= 0)
#define SELVARN_FAILED(hr) ((selvarn_hresult)(hr) < 0)
#define SELVARN_S_OK ((selvarn_hresult)0)
#define SELVARN_S_FALSE ((selvarn_hresult)1)
#define SELVARN_E_NOTIMPL ((selvarn_hresult)0x80004001)
#define SELVARN_E_NOINTERFACE ((selvarn_hresult)0x80004002)
#define SELVARN_E_POINTER ((selvarn_hresult)0x80004003)
#define SELVARN_E_FAIL ((selvarn_hresult)0x80004005)
#define SELVARN_E_UNEXPECTED ((selvarn_hresult)0x8000FFFF)
#define SELVARN_E_OUTOFMEMORY ((selvarn_hresult)0x8007000E)
#define SELVARN_E_INVALIDARG ((selvarn_hresult)0x80070057)
#define SELVARN_DISP_E_UNKNOWNINTERFACE ((selvarn_hresult)0x80020001)
#define SELVARN_DISP_E_MEMBERNOTFOUND ((selvarn_hresult)0x80020003)
#define SELVARN_DISP_E_TYPEMISMATCH ((selvarn_hresult)0x80020005)
#define SELVARN_DISP_E_UNKNOWNNAME ((selvarn_hresult)0x80020006)
#define SELVARN_DISP_E_NONAMEDARGS ((selvarn_hresult)0x80020007)
#define SELVARN_DISP_E_BADVARTYPE ((selvarn_hresult)0x80020008)
#define SELVARN_DISP_E_EXCEPTION ((selvarn_hresult)0x80020009)
#define SELVARN_DISP_E_OVERFLOW ((selvarn_hresult)0x8002000A)
#define SELVARN_DISP_E_BADINDEX ((selvarn_hresult)0x8002000B)
#define SELVARN_DISP_E_BADPARAMCOUNT ((selvarn_hresult)0x8002000E)
#define SELVARN_DISP_E_PARAMNOTOPTIONAL ((selvarn_hresult)0x8002000F)
#define SELVARN_CLASS_E_NOAGGREGATION ((selvarn_hresult)0x80040110)
#define SELVARN_CLASS_E_CLASSNOTAVAILABLE ((selvarn_hresult)0x80040111)
#define SELVARN_REGDB_E_CLASSNOTREG ((selvarn_hresult)0x80040154)
#define SELVARN_SELFREG_E_CLASS ((selvarn_hresult)0x80040201)
/* A run-time error (number n) reported by a member: its number in the control facility. */
#define SELVARN_HRESULT_FROM_ERROR(n) ((selvarn_hresult)(0x800A0000u | ((uint32_t)(n)&0xFFFFu)))

typedef struct selvarn_guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} selvarn_guid;

extern SELVARN_C_API const selvarn_guid selvarn_IID_NULL;
extern SELVARN_C_API const selvarn_guid selvarn_IID_IUnknown;
extern SELVARN_C_API const selvarn_guid selvarn_IID_IDispatch;
extern SELVARN_C_API const selvarn_guid selvarn_IID_IClassFactory;
/* The interface is named _SMS; its IID keeps that name for C callers. */
extern SELVARN_C_API const selvarn_guid selvarn_IID__SMS; /* NOLINT(bugprone-reserved-identifier) */
extern SELVARN_C_API const selvarn_guid selvarn_CLSID_SMS;
extern SELVARN_C_API const selvarn_guid selvarn_LIBID_SelvarnSMSAPI6;

/* Variants: the value types of late-bound calls. */
enum {
  SELVARN_VT_EMPTY = 0,
  SELVARN_VT_I2 = 2,
  SELVARN_VT_I4 = 3,
  SELVARN_VT_BSTR = 8,
  SELVARN_VT_ERROR = 10, /* with scode SELVARN_DISP_E_PARAMNOTFOUND: an omitted argument */
  SELVARN_VT_BOOL = 11,
  SELVARN_VT_VOID = 24, /* in type descriptions only: no result */
  SELVARN_VT_BYREF = 0x4000
};
#define SELVARN_DISP_E_PARAMNOTFOUND ((selvarn_hresult)0x80020004)

typedef struct selvarn_variant {
  uint16_t vt;
  union {
    int16_t iVal;
    int32_t lVal;
    selvarn_variant_bool boolVal;
    selvarn_hresult scode;
    char* bstrVal; /* library-allocated in results; borrowed in arguments */
    int16_t* piVal;
    int32_t* plVal;
    selvarn_variant_bool* pboolVal;
    char** pbstrVal;
  };
} selvarn_variant;

/* Arguments of Invoke, last argument first (rgvarg[0] is the last), as automation
   clients pass them. The only named argument is the value of a property assignment. */
typedef struct selvarn_dispparams {
  selvarn_variant* rgvarg;
  int32_t* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
} selvarn_dispparams;
#define SELVARN_DISPID_PROPERTYPUT (-3)

/* Invoke flags. */
#define SELVARN_DISPATCH_METHOD 1
#define SELVARN_DISPATCH_PROPERTYGET 2
#define SELVARN_DISPATCH_PROPERTYPUT 4

/* What a member's run-time error left, filled by Invoke when it returns
   SELVARN_DISP_E_EXCEPTION; clear it with selvarn_ExcepInfoClear. */
typedef struct selvarn_excepinfo {
  int32_t number;        /* the run-time error number, e.g. 13 type mismatch */
  selvarn_hresult scode; /* SELVARN_HRESULT_FROM_ERROR(number) */
  char* bstrSource;
  char* bstrDescription;
} selvarn_excepinfo;

/* The type description that GetTypeInfo hands out: static, never freed. */
#define SELVARN_PARAMFLAG_FIN 0x1
#define SELVARN_PARAMFLAG_FOUT 0x2
#define SELVARN_PARAMFLAG_FOPT 0x10
#define SELVARN_INVOKE_FUNC 1
#define SELVARN_INVOKE_PROPERTYGET 2
#define SELVARN_INVOKE_PROPERTYPUT 4
#define SELVARN_TYPEFLAG_FHIDDEN 0x10
#define SELVARN_TYPEFLAG_FDUAL 0x40
#define SELVARN_TYPEFLAG_FNONEXTENSIBLE 0x80
#define SELVARN_TYPEFLAG_FDISPATCHABLE 0x1000

typedef struct selvarn_paramdesc {
  const char* name;
  uint16_t vt;           /* SELVARN_VT_BSTR, _I2 or _I4 (an enumeration), | SELVARN_VT_BYREF */
  uint16_t flags;        /* SELVARN_PARAMFLAG_* */
  const char* type_name; /* "String", "Integer" or the enumeration's name */
} selvarn_paramdesc;

typedef struct selvarn_funcdesc {
  int32_t memid;
  const char* name;
  int32_t invkind; /* SELVARN_INVOKE_* */
  int32_t vtable_slot;
  int32_t param_count;
  const selvarn_paramdesc* params;
  uint16_t result_vt; /* SELVARN_VT_VOID for a put */
  const char* result_type_name;
  const char* help; /* UTF-8; lines joined by CR LF; may be empty */
} selvarn_funcdesc;

typedef struct selvarn_enumconst {
  const char* name;
  int32_t value;
  const char* help;
} selvarn_enumconst;

typedef struct selvarn_enumdesc {
  const char* name;
  int32_t count;
  const selvarn_enumconst* members;
} selvarn_enumdesc;

typedef struct selvarn_typeinfo {
  const char* library_name; /* "SelvarnSMSAPI6" */
  uint16_t major_version, minor_version;
  uint32_t lcid;
  selvarn_guid libid;
  const char* interface_name; /* "_SMS" */
  selvarn_guid iid;
  uint32_t type_flags;
  const char* class_name; /* "SMS" */
  selvarn_guid clsid;
  const char* prog_id; /* "SelvarnSMSAPI6.SMS" */
  int32_t func_count;  /* in virtual-table order */
  const selvarn_funcdesc* funcs;
  int32_t enum_count;
  const selvarn_enumdesc* enums;
} selvarn_typeinfo;

typedef struct selvarn_SMS selvarn_SMS;

/* The slots, in this order: identity, dispatch, then each property's put and get, then
   the methods. Results come back through the last argument.
   - DRStatus holds text; its get fails with run-time error 13 while that text is no
     number (as on a new object).
   - InitModem: a NULL PIN is none given. The result is a ModemStatus (0 Fail ... 5
     SIMError).
   - SendLMSText takes its arguments by reference, as declared; none of the three is
     changed or freed by the call. */
typedef struct selvarn_SMSVtbl {
  selvarn_hresult (*QueryInterface)(selvarn_SMS* This, const selvarn_guid* riid, void** ppv);
  uint32_t (*AddRef)(selvarn_SMS* This);
  uint32_t (*Release)(selvarn_SMS* This);

  selvarn_hresult (*GetTypeInfoCount)(selvarn_SMS* This, uint32_t* pctinfo);
  selvarn_hresult (*GetTypeInfo)(selvarn_SMS* This, uint32_t iTInfo, uint32_t lcid,
                                 const selvarn_typeinfo** ppTInfo);
  /* rgszNames[0] is a member's name (any case); further names are its parameters, whose
     ids are their positions. */
  selvarn_hresult (*GetIDsOfNames)(selvarn_SMS* This, const selvarn_guid* riid,
                                   const char* const* rgszNames, uint32_t cNames, uint32_t lcid,
                                   int32_t* rgDispId);
  selvarn_hresult (*Invoke)(selvarn_SMS* This, int32_t dispIdMember, const selvarn_guid* riid,
                            uint32_t lcid, uint16_t wFlags, selvarn_dispparams* pDispParams,
                            selvarn_variant* pVarResult, selvarn_excepinfo* pExcepInfo,
                            uint32_t* puArgErr);

  /* The members' slots, generated from the member table: not to be edited by hand. */
  selvarn_hresult (*put_DRStatus)(selvarn_SMS* This, int32_t value);
  selvarn_hresult (*get_DRStatus)(selvarn_SMS* This, int32_t* value);
  selvarn_hresult (*put_DRFDate)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRFDate)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_DRFTime)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRFTime)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_DRRDate)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRRDate)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_DRRTime)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRRTime)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_DRMNRecipient)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRMNRecipient)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_DRMsgRef)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_DRMsgRef)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_SCTS)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_SCTS)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_MR)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_MR)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_SMSC)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_SMSC)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_Msg)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_Msg)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_MN)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_MN)(selvarn_SMS* This, char** value);
  selvarn_hresult (*put_IDD)(selvarn_SMS* This, const char* value);
  selvarn_hresult (*get_IDD)(selvarn_SMS* This, char** value);

  selvarn_hresult (*InitModem)(selvarn_SMS* This, int16_t intPort, const char* PIN,
                               int32_t* result);
  selvarn_hresult (*ConnectToGSM)(selvarn_SMS* This, selvarn_variant_bool* result);
  selvarn_hresult (*ReadSMS)(selvarn_SMS* This, selvarn_variant_bool* result);
  selvarn_hresult (*SendLMSText)(selvarn_SMS* This, char** strMobileNumber, char** strMessage,
                                 int16_t* intMessageReference, selvarn_variant_bool* result);
  selvarn_hresult (*SendSMST)(selvarn_SMS* This, const char* Number, const char* MessageText,
                              selvarn_variant_bool* result);
  selvarn_hresult (*SendSMSU)(selvarn_SMS* This, const char* Number, const char* MessageUnicode,
                              selvarn_variant_bool* result);
  selvarn_hresult (*DeliveryReportOn)(selvarn_SMS* This, selvarn_variant_bool* result);
  selvarn_hresult (*DeliveryReportOff)(selvarn_SMS* This, selvarn_variant_bool* result);
  selvarn_hresult (*GetDeliveryReport)(selvarn_SMS* This, selvarn_variant_bool* result);
  selvarn_hresult (*CloseModem)(selvarn_SMS* This, selvarn_variant_bool* result);
  /* End of the members' slots. */
} selvarn_SMSVtbl;

struct selvarn_SMS {
  const selvarn_SMSVtbl* lpVtbl;
};

/* The class object that makes SMS objects. */
typedef struct selvarn_ClassFactory selvarn_ClassFactory;
typedef struct selvarn_ClassFactoryVtbl {
  selvarn_hresult (*QueryInterface)(selvarn_ClassFactory* This, const selvarn_guid* riid,
                                    void** ppv);
  uint32_t (*AddRef)(selvarn_ClassFactory* This);
  uint32_t (*Release)(selvarn_ClassFactory* This);
  /* pUnkOuter must be NULL: the class cannot be aggregated. */
  selvarn_hresult (*CreateInstance)(selvarn_ClassFactory* This, void* pUnkOuter,
                                    const selvarn_guid* riid, void** ppv);
  selvarn_hresult (*LockServer)(selvarn_ClassFactory* This, int32_t fLock);
} selvarn_ClassFactoryVtbl;
struct selvarn_ClassFactory {
  const selvarn_ClassFactoryVtbl* lpVtbl;
};

/* The library's entry points. */
SELVARN_C_API selvarn_hresult DllGetClassObject(const selvarn_guid* rclsid,
                                                const selvarn_guid* riid, void** ppv);
/* SELVARN_S_OK when no object or lock is left, else SELVARN_S_FALSE. */
SELVARN_C_API selvarn_hresult DllCanUnloadNow(void);
/* Record (or remove) this library file as the class SelvarnSMSAPI6.SMS in the user's
   registry, $XDG_CONFIG_HOME/selvarn-sms/registry.json (~/.config/... by default). */
SELVARN_C_API selvarn_hresult DllRegisterServer(void);
SELVARN_C_API selvarn_hresult DllUnregisterServer(void);

/* Creation by programmatic identifier (any case): finds the class in the registry,
   loads the library recorded there and asks its class object for an instance. */
SELVARN_C_API selvarn_hresult selvarn_CLSIDFromProgID(const char* progid, selvarn_guid* clsid);
SELVARN_C_API selvarn_hresult selvarn_CreateObject(const char* progid, const selvarn_guid* riid,
                                                   void** ppv);

/* The type description GetTypeInfo hands out, without making an object. */
SELVARN_C_API selvarn_hresult selvarn_LoadTypeLib(const selvarn_typeinfo** info);

/* Library-allocated text: the length is kept, so text holding NUL survives. */
SELVARN_C_API char* selvarn_AllocString(const char* utf8);
SELVARN_C_API size_t selvarn_StringLength(const char* s);
SELVARN_C_API void selvarn_FreeString(char* s);
SELVARN_C_API void selvarn_VariantInit(selvarn_variant* v);
/* Frees a library-allocated text the variant holds and leaves it empty. */
SELVARN_C_API void selvarn_VariantClear(selvarn_variant* v);
SELVARN_C_API void selvarn_ExcepInfoClear(selvarn_excepinfo* e);

/* Why the last InitModem of an object did not end in OK, beyond the automation interface
   (the C++ StartReport). Reasons: */
enum {
  SELVARN_START_NO_FAILURE = 0,        /* it ended in OK, or none has run */
  SELVARN_START_INVALID_PORT = 1,      /* a port number below 1 */
  SELVARN_START_NO_DEVICE = 2,         /* the port leads to no device */
  SELVARN_START_NOT_SERIAL = 3,        /* the device is not a serial port */
  SELVARN_START_PERMISSION_DENIED = 4, /* the user may not open the device */
  SELVARN_START_OPEN_HERE = 5,         /* this process has the port open already */
  SELVARN_START_BUSY = 6,              /* another program holds it (holder_pid when known) */
  SELVARN_START_EXCLUSIVE_FLAG = 7,    /* held exclusively with no holder in sight */
  SELVARN_START_NO_ANSWER = 8,         /* no answer to "AT" at any speed tried */
  SELVARN_START_PIN_REQUIRED = 9,      /* the SIM errors, as the ModemStatus of that name */
  SELVARN_START_PIN_WRONG = 10,
  SELVARN_START_SIM_BLOCKED = 11,
  SELVARN_START_SIM_ERROR = 12,
  SELVARN_START_REFUSED = 13,    /* a later step refused or not answered (detail names it) */
  SELVARN_START_PORT_FAILED = 14 /* the port failed during the start-up */
};
#define SELVARN_START_MAX_SPEEDS 8

typedef struct selvarn_start_report {
  int32_t status;     /* the ModemStatus InitModem returned */
  int32_t reason;     /* SELVARN_START_* */
  char* device;       /* where the port led; library-allocated, as are detail and notice */
  char* detail;       /* why, in a line for a person */
  char* notice;       /* something done the user should hear of, even after OK */
  int32_t holder_pid; /* SELVARN_START_BUSY: the process holding the port, 0 when unknown */
  int32_t error;      /* the run-time error behind a failure, 0 for none */
  int32_t speed_count;
  int32_t speeds_tried[SELVARN_START_MAX_SPEEDS]; /* bit/s of each probe, in order */
} selvarn_start_report;

/* Fills *report for the object sms (made by this library); free its texts with
   selvarn_StartReportClear before filling it again. */
SELVARN_C_API selvarn_hresult selvarn_GetStartReport(selvarn_SMS* sms,
                                                     selvarn_start_report* report);
SELVARN_C_API void selvarn_StartReportClear(selvarn_start_report* report);

/* Notices of messages and reports the modem sent unasked, heard while the library waited
   for an answer or before it wrote a command. Other unsolicited codes are not kept. */
enum selvarn_notice_kind {
  SELVARN_NOTICE_MESSAGE_STORED = 0, /* +CMTI: a message stored at memory, index */
  SELVARN_NOTICE_REPORT_STORED = 1,  /* +CDSI: a status report stored at memory, index */
  SELVARN_NOTICE_MESSAGE = 2,        /* +CMT: a message handed over; data carries it */
  SELVARN_NOTICE_REPORT = 3          /* +CDS: a status report handed over (data in PDU mode) */
};

typedef struct selvarn_notice {
  int32_t kind;  /* SELVARN_NOTICE_* */
  int32_t index; /* the stored kinds: where; -1 when the line named no number */
  char* memory;  /* the stored kinds: "SM", "ME", "SR", ...; library-allocated, as all three */
  char* line;    /* the notice line as it came, without its CR LF */
  char* data;    /* the line after a +CMT or a PDU-mode +CDS (hex PDU), else empty */
} selvarn_notice;

/* Takes the notices heard on the calling thread's port (all objects of a thread share it)
   since the last call, oldest first, into a library-allocated array of *count entries
   (*notices NULL when there is none); free it with selvarn_NoticesFree. */
SELVARN_C_API selvarn_hresult selvarn_TakeNotices(selvarn_SMS* sms, selvarn_notice** notices,
                                                  int32_t* count);
SELVARN_C_API void selvarn_NoticesFree(selvarn_notice* notices, int32_t count);

/* The calling thread's last failure: SELVARN_S_OK with its run-time error number and
   description (free it with selvarn_FreeString; description may be NULL), or
   SELVARN_S_FALSE when there is none. Taking it clears it. */
/* The library's version, "major.minor.patch" (static text: not to be freed). */
SELVARN_C_API const char* selvarn_LibraryVersion(void);

SELVARN_C_API selvarn_hresult selvarn_GetErrorInfo(int32_t* number, char** description);

/* --- The modem session ------------------------------------------------------------
 *
 * A gateway is one modem and one message store: it sends with a record in the store, takes
 * everything the modem holds in one pass, watches for what arrives and sends what other
 * processes queued.
 *
 *   selvarn_gateway_options o;
 *   selvarn_gateway* gw = NULL;
 *   int32_t status = 0;
 *   selvarn_gateway_options_init(&o);
 *   o.device = "/dev/ttyUSB2";
 *   if (selvarn_gateway_new(&o, &gw) == 0 && selvarn_gateway_open(gw, &status) == 0 &&
 *       status == 1) { ... }
 *   selvarn_gateway_free(gw);
 *
 * Ownership: text and arrays going in are borrowed for the call. Everything coming out
 * through a pointer argument is the caller's, freed with the Clear or Free function named
 * beside its type; a call that fails leaves its output empty. What a callback receives is
 * lent for the callback alone. A gateway is used on the thread that opened it; only
 * selvarn_gateway_stop may be called from another thread or a signal handler. Failures
 * return a negative HRESULT with the error's number and text in selvarn_GetErrorInfo:
 * 5 a bad argument (a number that is not 1-20 digits, an empty text), 6 a text of more than
 * 255 parts, 75 the store, 8005 no watcher to hand a message to, 8010 the modem gone. */
typedef struct selvarn_gateway selvarn_gateway;

/* How a text is asked to go (the C++ SendCoding), and how a record says it went. */
enum {
  SELVARN_SEND_AUTO = 0, /* GSM 7-bit when it carries the text, else UCS-2 */
  SELVARN_SEND_GSM7 = 1,
  SELVARN_SEND_UCS2 = 2
};
enum { SELVARN_CODING_GSM7 = 0, SELVARN_CODING_DATA8 = 4, SELVARN_CODING_UCS2 = 8 };
/* Delivery of a sent message or part, from its status reports. */
enum { SELVARN_DELIVERY_PENDING = 0, SELVARN_DELIVERY_DELIVERED = 1, SELVARN_DELIVERY_FAILED = 2 };
/* How far a message's sending got. */
enum {
  SELVARN_SEND_STATE_SENDING = 0,     /* under way */
  SELVARN_SEND_STATE_SENT = 1,        /* every part taken */
  SELVARN_SEND_STATE_PARTLY_SENT = 2, /* some parts went, then one failed */
  SELVARN_SEND_STATE_NOT_SENT = 3,    /* ended before any part went */
  SELVARN_SEND_STATE_UNCERTAIN = 4,   /* a part may have gone: no answer came */
  SELVARN_SEND_STATE_QUEUED = 5       /* in the outbox, waiting for a watching gateway */
};
/* How far one part got. */
enum {
  SELVARN_PART_WAITING = 0,
  SELVARN_PART_WRITING = 1,
  SELVARN_PART_TAKEN = 2,
  SELVARN_PART_UNCERTAIN = 3,
  SELVARN_PART_REFUSED = 4
};

typedef struct selvarn_gateway_options {
  const char* device; /* the modem's device; NULL or empty: port */
  int16_t port;       /* a port number as InitModem takes it */
  const char* pin;    /* NULL: none */
  const char* store;  /* the store's file; NULL or empty: the default */
  int32_t part_wait;  /* seconds to wait for the answer to each part, 1-32767 */
  int32_t sweep;      /* watch: seconds between looks when nothing is announced, >= 1 */
} selvarn_gateway_options;
/* Port 1, no PIN, the default store, 120 s per part, a sweep every 30 s. */
SELVARN_C_API void selvarn_gateway_options_init(selvarn_gateway_options* options);

/* Opens the store (the modem waits for selvarn_gateway_open); free with selvarn_gateway_free,
   which closes the modem. */
SELVARN_C_API selvarn_hresult selvarn_gateway_new(const selvarn_gateway_options* options,
                                                  selvarn_gateway** gateway);
SELVARN_C_API void selvarn_gateway_free(selvarn_gateway* gateway);
/* Runs the start-up; *status is the ModemStatus (1 OK leaves the modem open). Why it was not
   OK: selvarn_gateway_start_report, whose texts selvarn_StartReportClear frees. */
SELVARN_C_API selvarn_hresult selvarn_gateway_open(selvarn_gateway* gateway, int32_t* status);
SELVARN_C_API selvarn_hresult selvarn_gateway_start_report(selvarn_gateway* gateway,
                                                           selvarn_start_report* report);
SELVARN_C_API selvarn_hresult selvarn_gateway_close(selvarn_gateway* gateway);
/* Whether the modem is registered on a network, home or roaming (AT+CREG?), as ConnectToGSM
   asks: *registered SELVARN_VARIANT_FALSE when it is not or the session is not open. */
SELVARN_C_API selvarn_hresult selvarn_gateway_registered(selvarn_gateway* gateway,
                                                         selvarn_variant_bool* registered);

/* How a text goes out: the coding chosen (SELVARN_SEND_GSM7 or _UCS2), each part's length
   in septets (GSM 7-bit, an extension character counting two) or UTF-16 units, and the
   characters GSM 7-bit cannot carry (sent as "?"). Free with selvarn_text_plan_clear. */
typedef struct selvarn_text_plan {
  int32_t coding;
  int32_t concatenated; /* 1: the parts carry a concatenation element */
  int32_t unmapped;
  int32_t parts;
  int32_t* lengths; /* parts entries */
} selvarn_text_plan;
SELVARN_C_API selvarn_hresult selvarn_gateway_plan(const char* text, int32_t coding,
                                                   selvarn_text_plan* plan);
SELVARN_C_API void selvarn_text_plan_clear(selvarn_text_plan* plan);

typedef struct selvarn_outgoing {
  const char* number;
  const char* text;
  int32_t coding;    /* SELVARN_SEND_* */
  int32_t report;    /* nonzero: ask for a status report of each part */
  int32_t reference; /* concatenation reference 0-255; -1: the store's next */
} selvarn_outgoing;
/* Automatic coding, a report asked for, the next reference. */
SELVARN_C_API void selvarn_outgoing_init(selvarn_outgoing* message);

typedef struct selvarn_sent_part {
  int32_t sequence;
  int32_t reference;   /* TP-MR; -1 when none is known */
  int32_t state;       /* SELVARN_DELIVERY_* */
  int32_t status;      /* TP-ST of the latest report; -1: none yet */
  int64_t reported_at; /* Unix seconds; 0: no report yet */
  int32_t send;        /* SELVARN_PART_* */
} selvarn_sent_part;

/* A message sent (or queued) as the store keeps it; free with selvarn_sent_record_clear. */
typedef struct selvarn_sent_record {
  int64_t id;
  char* recipient;
  char* text;
  int32_t coding; /* SELVARN_CODING_* */
  int64_t sent_at;
  int32_t state;      /* SELVARN_DELIVERY_*, of the parts taken */
  int32_t send_state; /* SELVARN_SEND_STATE_* */
  char* error;        /* what ended a send that did not take every part */
  int32_t part_count;
  selvarn_sent_part* parts;
} selvarn_sent_record;
SELVARN_C_API void selvarn_sent_record_clear(selvarn_sent_record* record);
SELVARN_C_API void selvarn_sent_records_free(selvarn_sent_record* records, int32_t count);

/* What a send did; free with selvarn_send_outcome_clear. A failure after the message was
   recorded is no failed call: it is in error_number and error, and in the record. */
typedef struct selvarn_send_outcome {
  int64_t id;         /* the store's id of the message */
  int32_t coding;     /* SELVARN_CODING_*, as sent */
  int32_t has_record; /* 0: the store could not be read back afterwards */
  selvarn_sent_record record;
  int32_t reference_count;
  int32_t* references; /* of the parts taken, in order */
  int32_t error_number;
  char* error;
} selvarn_send_outcome;
SELVARN_C_API void selvarn_send_outcome_clear(selvarn_send_outcome* outcome);

/* Called after each part the modem took. */
typedef void (*selvarn_progress_fn)(int32_t taken, int32_t total, void* user);
/* Records the message, sends it part by part and records each answer. Fails (nothing
   sent) for a bad message, 5, or a store that cannot record it, 75. progress may be NULL. */
SELVARN_C_API selvarn_hresult selvarn_gateway_send(selvarn_gateway* gateway,
                                                   const selvarn_outgoing* message,
                                                   selvarn_progress_fn progress, void* user,
                                                   selvarn_send_outcome* outcome);
/* Takes reports until every part of message id has a final one or limit_ms passes, then
   fills *record: SELVARN_S_FALSE (and *record empty) when there is no such message. */
SELVARN_C_API selvarn_hresult selvarn_gateway_wait_reports(selvarn_gateway* gateway, int64_t id,
                                                           int32_t limit_ms,
                                                           selvarn_sent_record* record);
/* Queues a message in the store for a watching gateway to send; *id is its record's. */
SELVARN_C_API selvarn_hresult selvarn_gateway_enqueue(selvarn_gateway* gateway,
                                                      const selvarn_outgoing* message, int64_t* id);
/* Without a gateway: queues the message for the gateway watching with the store at
   store_path (NULL or empty: the default) and wakes it. Fails with 8005, nothing queued,
   when none watches. */
SELVARN_C_API selvarn_hresult selvarn_gateway_hand_to_watcher(const char* store_path,
                                                              const selvarn_outgoing* message,
                                                              int64_t* id);

/* What selvarn_gateway_take did; free with selvarn_take_result_clear. */
typedef struct selvarn_take_result {
  int32_t parts;       /* message parts stored and deleted */
  int32_t reports;     /* status reports stored and deleted */
  int32_t quarantined; /* undecodable entries kept in the store and deleted */
  int32_t left;        /* entries left on the modem */
  int32_t stuck;       /* 1: the modem refused to delete an entry it handed over */
  int32_t unlisted;    /* 1: the modem would not list a storage */
  int32_t warning_count;
  char** warnings; /* lines for a person */
} selvarn_take_result;
/* Everything the modem holds, in one listing per storage: stored, then deleted. */
SELVARN_C_API selvarn_hresult selvarn_gateway_take(selvarn_gateway* gateway,
                                                   selvarn_take_result* result);
SELVARN_C_API void selvarn_take_result_clear(selvarn_take_result* result);

/* A received message as the store keeps it. */
typedef struct selvarn_message {
  int64_t id;
  char* sender;
  char* text;            /* the texts of the parts present, in order */
  char* smsc;            /* of the first part present */
  char* scts;            /* the first part's service-centre time stamp, as the network gave it */
  int32_t total;         /* parts in the message */
  int32_t present;       /* parts stored */
  int32_t reference;     /* concatenation reference; -1: a single message */
  int64_t received_at;   /* Unix seconds, when its first part arrived */
  int64_t completed_at;  /* when its last part arrived; 0: still incomplete */
  int64_t handed_out_at; /* 0: not handed out */
} selvarn_message;
SELVARN_C_API void selvarn_messages_free(selvarn_message* messages, int32_t count);

/* A status report as the store keeps it. */
typedef struct selvarn_report {
  int64_t id;
  int32_t reference; /* TP-MR of the part it is about */
  char* recipient;
  char* scts;      /* when the centre took the message */
  char* discharge; /* when it was delivered or given up */
  int32_t status;  /* TP-ST */
  int64_t received_at;
  int64_t sent_id;  /* the message it was matched to; 0: unmatched */
  int32_t sequence; /* and the part; 0: unmatched */
} selvarn_report;
SELVARN_C_API void selvarn_reports_free(selvarn_report* reports, int32_t count);

/* The store's queries. Lists come library-allocated, oldest first, *items NULL when empty.
   since is in Unix seconds (0: all). */
SELVARN_C_API selvarn_hresult selvarn_gateway_new_messages(selvarn_gateway* gateway,
                                                           selvarn_message** items, int32_t* count);
/* *marked 1 when the message was marked now, 0 when it was already or does not exist. */
SELVARN_C_API selvarn_hresult selvarn_gateway_mark_handed_out(selvarn_gateway* gateway, int64_t id,
                                                              int32_t* marked);
SELVARN_C_API selvarn_hresult selvarn_gateway_inbox(selvarn_gateway* gateway, int64_t since,
                                                    selvarn_message** items, int32_t* count);
SELVARN_C_API selvarn_hresult selvarn_gateway_outbox(selvarn_gateway* gateway, int64_t since,
                                                     selvarn_sent_record** items, int32_t* count);
/* One sent record: SELVARN_S_FALSE (and *record empty) when there is no such message. */
SELVARN_C_API selvarn_hresult selvarn_gateway_sent(selvarn_gateway* gateway, int64_t id,
                                                   selvarn_sent_record* record);
SELVARN_C_API selvarn_hresult selvarn_gateway_reports(selvarn_gateway* gateway, int64_t since,
                                                      selvarn_report** items, int32_t* count);

/* What selvarn_gateway_watch hands over, each at most once; any callback may be NULL, and
   each is given user. A message is marked handed out when its callback returns. A
   callback may call selvarn_gateway_stop. */
typedef struct selvarn_watch_handlers {
  void (*message)(const selvarn_message* message, void* user);
  /* message_state: SELVARN_DELIVERY_* of the message the report was matched to */
  void (*report)(const selvarn_report* report, int32_t message_state, void* user);
  void (*sent)(const selvarn_send_outcome* outcome, void* user); /* a queued message went */
  void (*warning)(const char* line, void* user);
  void* user;
} selvarn_watch_handlers;
/* Takes what waits, then until selvarn_gateway_stop: reacts to each notice, takes
   everything every sweep, and sends what is queued. handlers may be NULL. */
SELVARN_C_API selvarn_hresult selvarn_gateway_watch(selvarn_gateway* gateway,
                                                    const selvarn_watch_handlers* handlers);
/* Ends a watch at its next step; safe from any thread and from a signal handler. */
SELVARN_C_API void selvarn_gateway_stop(selvarn_gateway* gateway);

/* --- The gateway service ----------------------------------------------------------
 *
 * One session per modem, each on its own thread, sharing one outbox, as `selvarn-sms serve`
 * runs it without the HTTP face: messages handed to it are queued in the store and routed,
 * and what arrives is passed on to the commands and webhooks the configuration names.
 *
 *   selvarn_service* svc = NULL;
 *   if (selvarn_service_open("/etc/selvarn-sms/gateway.toml", NULL, NULL, &svc) == 0 &&
 *       selvarn_service_start(svc) == 0) { ... }
 *   selvarn_service_free(svc);
 *
 * Ownership as for the gateway. A service may be used from any thread. Failures return a
 * negative HRESULT with the error's number and text in selvarn_GetErrorInfo: 5 a bad
 * configuration (the text holds every error, one "file:line: message" a line), 75 the store
 * or a file that cannot be read. JSON comes as library-allocated text, freed with
 * selvarn_FreeString. */
typedef struct selvarn_service selvarn_service;

/* Posts a webhook: the URL, the JSON body and its headers as "Name: value\n" lines; the
   HTTP status, or -1 when none came. Called from the service's threads. */
typedef int32_t (*selvarn_webhook_poster_fn)(const char* url, const char* body, const char* headers,
                                             void* user);

/* Reads and checks the configuration file and opens the store; starts nothing. post may be
   NULL (webhooks configured then fail each delivery, and stay queued); user is given to it.
   Free with selvarn_service_free. */
SELVARN_C_API selvarn_hresult selvarn_service_open(const char* config_path,
                                                   selvarn_webhook_poster_fn post, void* user,
                                                   selvarn_service** service);
/* Recovers what a previous run left, starts a thread per modem and one that passes on what
   arrives. */
SELVARN_C_API selvarn_hresult selvarn_service_start(selvarn_service* service);
/* Stops taking messages, lets each modem finish the part in flight and stops every thread;
   what was queued stays queued for the next run. */
SELVARN_C_API selvarn_hresult selvarn_service_stop(selvarn_service* service);
/* Stops it and closes the store. */
SELVARN_C_API void selvarn_service_free(selvarn_service* service);

typedef struct selvarn_submission {
  const char* to;
  const char* text;
  int32_t coding;              /* SELVARN_SEND_* */
  int32_t report;              /* nonzero: ask for a status report of each part */
  const char* modem;           /* NULL or empty: routed; else through this modem */
  const char* tag;             /* through a modem with this tag */
  const char* idempotency_key; /* a key given before names the earlier message */
} selvarn_submission;
/* Automatic coding, a report asked for, routed, no key. */
SELVARN_C_API void selvarn_submission_init(selvarn_submission* submission);

/* What a submission became; free with selvarn_submit_result_clear. */
typedef struct selvarn_submit_result {
  int64_t id;      /* the message's; 0 when refused */
  int32_t existed; /* 1: its idempotency key named an earlier message */
  char* json;      /* the message as selvarn_service_message gives it; NULL when refused */
  char* field;     /* refused: the field at fault ("to", "text", "modem", "tag"...) */
  char* message;   /* refused: why */
} selvarn_submit_result;
SELVARN_C_API void selvarn_submit_result_clear(selvarn_submit_result* result);
/* Queues a message, in the store before this returns, and routes it. SELVARN_S_FALSE when
   it was refused, nothing queued: field and message say why. */
SELVARN_C_API selvarn_hresult selvarn_service_submit(selvarn_service* service,
                                                     const selvarn_submission* submission,
                                                     selvarn_submit_result* result);
/* A message sent or queued, as JSON: its state, parts with references and delivery,
   attempts, modem. SELVARN_S_FALSE (and *json NULL) when there is no such message. */
SELVARN_C_API selvarn_hresult selvarn_service_message(selvarn_service* service, int64_t id,
                                                      char** json);
/* Received messages, and status reports, with ids above after, at most limit (1-1000), as a
   JSON array of objects, oldest first. */
SELVARN_C_API selvarn_hresult selvarn_service_inbox(selvarn_service* service, int64_t after,
                                                    int32_t limit, char** json);
SELVARN_C_API selvarn_hresult selvarn_service_reports(selvarn_service* service, int64_t after,
                                                      int32_t limit, char** json);
/* Each modem's state, signal, registration and queue, as a JSON array. */
SELVARN_C_API selvarn_hresult selvarn_service_modems(selvarn_service* service, char** json);
/* The metrics in the Prometheus text format. */
SELVARN_C_API selvarn_hresult selvarn_service_metrics(selvarn_service* service, char** text);
/* Reads the configuration file again and applies it: modems, routes, retry policy and
   forwarding. Errors as for selvarn_service_open, nothing applied; so is a change of store. */
SELVARN_C_API selvarn_hresult selvarn_service_reload(selvarn_service* service,
                                                     const char* config_path);

#ifdef __cplusplus
}
#endif

#endif /* SELVARN_SELVARN_SMS_H */
