/* The C ABI as a C program sees it: the header and the shared library, nothing else.
 * The modem is the simulator program, started on a private port folder; its transcript
 * shows the bytes the library wrote.
 *
 *   test_capi PATH-OF-selvarn-modemsim
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "selvarn/selvarn_sms.h"

static int checks, failures;

static int check(int ok, const char* what, int line) {
  ++checks;
  if (!ok) {
    ++failures;
    fprintf(stderr, "capi_test.c:%d: failed: %s\n", line, what);
  }
  return ok;
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

static void check_hr(selvarn_hresult got, selvarn_hresult want, const char* what, int line) {
  if (!check(got == want, what, line)) {
    fprintf(stderr, "  HRESULT 0x%08X, expected 0x%08X\n", (unsigned)got, (unsigned)want);
  }
}
#define CHECK_HR(call, want) check_hr((call), (want), #call, __LINE__)

/* The thread's error info holds number and a description containing fragment. */
static void check_error(int32_t number, const char* fragment, int line) {
  int32_t got = -1;
  char* description = NULL;
  check(selvarn_GetErrorInfo(&got, &description) == SELVARN_S_OK, "error info present", line);
  if (!check(got == number && description != NULL && strstr(description, fragment) != NULL,
             "error number and description", line)) {
    fprintf(stderr, "  error %d \"%s\", expected %d \"...%s...\"\n", got,
            description ? description : "(null)", number, fragment);
  }
  selvarn_FreeString(description);
  check(selvarn_GetErrorInfo(&got, NULL) == SELVARN_S_FALSE, "taking error info clears it", line);
}
#define CHECK_ERROR(number, fragment) check_error((number), (fragment), __LINE__)

static selvarn_SMS* create(void) {
  selvarn_ClassFactory* factory = NULL;
  selvarn_SMS* sms = NULL;
  CHECK_HR(DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IClassFactory, (void**)&factory),
           SELVARN_S_OK);
  if (factory == NULL) exit(1);
  CHECK_HR(factory->lpVtbl->CreateInstance(factory, NULL, &selvarn_IID__SMS, (void**)&sms),
           SELVARN_S_OK);
  factory->lpVtbl->Release(factory);
  if (sms == NULL) exit(1);
  return sms;
}

/* --- The simulator program ---------------------------------------------------------- */

static const char* sim_program;
static pid_t sim_pid;
static FILE* sim_out;
static char sim_folder[64];

/* Starts the simulator on a fresh port folder and returns its port number. */
static int start_sim(void) {
  int fds[2];
  int port = 0;
  strcpy(sim_folder, "/tmp/selvarn-capi-ports-XXXXXX");
  if (mkdtemp(sim_folder) == NULL || pipe(fds) != 0) exit(1);
  setenv("SELVARN_SMS_PORTS", sim_folder, 1);
  sim_pid = fork();
  if (sim_pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    execl(sim_program, sim_program, "--ports", sim_folder, "--transcript", (char*)NULL);
    _exit(127);
  }
  close(fds[1]);
  sim_out = fdopen(fds[0], "r");
  if (sim_out == NULL || fscanf(sim_out, "port %d", &port) != 1) {
    fprintf(stderr, "capi_test: %s printed no port\n", sim_program);
    exit(1);
  }
  return port;
}

/* Stops the simulator; what the library wrote, in the transcript's printable form. */
static char* stop_sim(void) {
  static char written[8192];
  char line[4096];
  size_t used = 0;
  kill(sim_pid, SIGTERM);
  written[0] = '\0';
  while (fgets(line, sizeof line, sim_out) != NULL) {
    const char* host = strstr(line, " ms host  ");
    if (host == NULL) continue;
    host += strlen(" ms host  ");
    const size_t n = strcspn(host, "\n");
    if (used + n < sizeof written) {
      memcpy(written + used, host, n);
      used += n;
      written[used] = '\0';
    }
  }
  fclose(sim_out);
  waitpid(sim_pid, NULL, 0);
  rmdir(sim_folder);
  return written;
}

/* --- Tests ------------------------------------------------------------------------ */

static void test_identity_and_lifetime(void) {
  /* The interface ids every client knows by heart, written out. */
  static const struct {
    const selvarn_guid* got;
    selvarn_guid want;
  } known[] = {
      {&selvarn_IID_NULL, {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}},
      {&selvarn_IID_IUnknown, {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
      {&selvarn_IID_IDispatch, {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
      {&selvarn_IID_IClassFactory, {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
  };
  for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i) {
    CHECK(memcmp(known[i].got, &known[i].want, sizeof(selvarn_guid)) == 0);
  }
  selvarn_SMS* sms = create();
  void* other = NULL;
  const selvarn_guid* same[] = {&selvarn_IID_IUnknown, &selvarn_IID_IDispatch, &selvarn_IID__SMS};
  for (size_t i = 0; i < sizeof same / sizeof same[0]; ++i) {
    CHECK_HR(sms->lpVtbl->QueryInterface(sms, same[i], &other), SELVARN_S_OK);
    CHECK(other == sms);
  }
  CHECK_HR(sms->lpVtbl->QueryInterface(sms, &selvarn_CLSID_SMS, &other), SELVARN_E_NOINTERFACE);
  CHECK(other == NULL);
  CHECK(sms->lpVtbl->AddRef(sms) == 5);
  CHECK_HR(DllCanUnloadNow(), SELVARN_S_FALSE);
  for (uint32_t left = 4; left > 0; --left) CHECK(sms->lpVtbl->Release(sms) == left);
  CHECK(sms->lpVtbl->Release(sms) == 0);
  CHECK_HR(DllCanUnloadNow(), SELVARN_S_OK);

  selvarn_ClassFactory* factory = NULL;
  CHECK_HR(DllGetClassObject(&selvarn_IID__SMS, &selvarn_IID_IClassFactory, (void**)&factory),
           SELVARN_CLASS_E_CLASSNOTAVAILABLE);
  CHECK_HR(DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IUnknown, (void**)&factory),
           SELVARN_S_OK);
  CHECK_HR(factory->lpVtbl->CreateInstance(factory, factory, &selvarn_IID__SMS, &other),
           SELVARN_CLASS_E_NOAGGREGATION);
  /* Any nonzero flag locks, automation's true (-1) included. */
  CHECK_HR(factory->lpVtbl->LockServer(factory, -1), SELVARN_S_OK);
  factory->lpVtbl->Release(factory);
  CHECK_HR(DllCanUnloadNow(), SELVARN_S_FALSE);
  CHECK_HR(factory->lpVtbl->LockServer(factory, 0), SELVARN_S_OK);
  CHECK_HR(DllCanUnloadNow(), SELVARN_S_OK);
}

static void test_properties(void) {
  selvarn_SMS* sms = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  const struct {
    selvarn_hresult (*put)(selvarn_SMS*, const char*);
    selvarn_hresult (*get)(selvarn_SMS*, char**);
  } texts[] = {{v->put_DRFDate, v->get_DRFDate}, {v->put_DRFTime, v->get_DRFTime},
               {v->put_DRRDate, v->get_DRRDate}, {v->put_DRRTime, v->get_DRRTime},
               {v->put_DRMNRecipient, v->get_DRMNRecipient},
               {v->put_DRMsgRef, v->get_DRMsgRef}, {v->put_SCTS, v->get_SCTS},
               {v->put_MR, v->get_MR}, {v->put_SMSC, v->get_SMSC},
               {v->put_Msg, v->get_Msg}, {v->put_MN, v->get_MN},
               {v->put_IDD, v->get_IDD}};
  const size_t n = sizeof texts / sizeof texts[0];
  char* got = NULL;
  char value[32];
  for (size_t i = 0; i < n; ++i) {
    CHECK_HR(texts[i].get(sms, &got), SELVARN_S_OK);
    CHECK(got != NULL && got[0] == '\0' && selvarn_StringLength(got) == 0);
    selvarn_FreeString(got);
    snprintf(value, sizeof value, "%zu Grüße €", i);
    CHECK_HR(texts[i].put(sms, value), SELVARN_S_OK);
  }
  for (size_t i = 0; i < n; ++i) {
    snprintf(value, sizeof value, "%zu Grüße €", i);
    CHECK_HR(texts[i].get(sms, &got), SELVARN_S_OK);
    CHECK(strcmp(got, value) == 0 && selvarn_StringLength(got) == strlen(value));
    selvarn_FreeString(got);
  }
  /* Text that is no UTF-8 is refused and leaves the property as it was; NULL is empty. */
  CHECK_HR(v->put_MN(sms, "caf\xE9"), SELVARN_E_INVALIDARG);
  CHECK_ERROR(5, "UTF-8");
  CHECK_HR(v->get_MN(sms, &got), SELVARN_S_OK);
  CHECK(strcmp(got, "10 Grüße €") == 0);
  selvarn_FreeString(got);
  CHECK_HR(v->put_MN(sms, NULL), SELVARN_S_OK);
  CHECK_HR(v->get_MN(sms, NULL), SELVARN_E_POINTER);
  CHECK_ERROR(5, "NULL");

  int32_t status = 7;
  CHECK_HR(v->get_DRStatus(sms, &status), SELVARN_HRESULT_FROM_ERROR(13));
  CHECK_ERROR(13, "Type mismatch");
  CHECK(status == 7);
  CHECK_HR(v->put_DRStatus(sms, 2), SELVARN_S_OK);
  CHECK_HR(v->get_DRStatus(sms, &status), SELVARN_S_OK);
  CHECK(status == 2);
  sms->lpVtbl->Release(sms);
}

/* The description made from the type library: each function at its slot with its member
   id, parameters that stay valid, the enumerations. */
static void test_type_info(void) {
  selvarn_SMS* sms = create();
  uint32_t count = 0;
  const selvarn_typeinfo* info = NULL;
  CHECK_HR(sms->lpVtbl->GetTypeInfoCount(sms, &count), SELVARN_S_OK);
  CHECK(count == 1);
  CHECK_HR(sms->lpVtbl->GetTypeInfo(sms, 1, 0x409, &info), SELVARN_DISP_E_BADINDEX);
  CHECK_ERROR(5, "type information 1");
  CHECK_HR(sms->lpVtbl->GetTypeInfo(sms, 0, 0x409, &info), SELVARN_S_OK);
  CHECK(memcmp(&info->clsid, &selvarn_CLSID_SMS, sizeof(selvarn_guid)) == 0);
  CHECK(info->type_flags == (SELVARN_TYPEFLAG_FHIDDEN | SELVARN_TYPEFLAG_FDUAL |
                             SELVARN_TYPEFLAG_FNONEXTENSIBLE | SELVARN_TYPEFLAG_FDISPATCHABLE));
  CHECK(info->func_count == 36);
  for (int32_t i = 0; i < info->func_count; ++i) {
    const selvarn_funcdesc* f = &info->funcs[i];
    int32_t id = 0;
    CHECK(f->vtable_slot == 7 + i);
    CHECK_HR(sms->lpVtbl->GetIDsOfNames(sms, NULL, &f->name, 1, 0x409, &id), SELVARN_S_OK);
    CHECK(id == f->memid);
  }
  const selvarn_funcdesc* init = &info->funcs[26];
  CHECK(strcmp(init->name, "InitModem") == 0 && init->param_count == 2);
  CHECK(init->params[0].vt == SELVARN_VT_I2 && init->params[1].flags & SELVARN_PARAMFLAG_FOPT);
  CHECK(info->enum_count == 2 && strcmp(info->enums[1].members[3].name, "PINWrong") == 0);
  sms->lpVtbl->Release(sms);
}

static void test_dispatch(void) {
  selvarn_SMS* sms = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  const char* names[] = {"sendlmstext", "INTMESSAGEREFERENCE", "strMobileNumber", "nope"};
  const char* one[] = {"mn", NULL};
  int32_t ids[4];
  CHECK_HR(v->GetIDsOfNames(sms, NULL, one, 1, 0, ids), SELVARN_S_OK);
  CHECK(ids[0] == 0x68030001);
  CHECK_HR(v->GetIDsOfNames(sms, NULL, names, 3, 0, ids), SELVARN_S_OK);
  CHECK(ids[0] == 0x60030011 && ids[1] == 2 && ids[2] == 0);
  CHECK_HR(v->GetIDsOfNames(sms, NULL, names, 4, 0, ids), SELVARN_DISP_E_UNKNOWNNAME);
  CHECK(ids[3] == -1);
  CHECK_ERROR(438, "nope");
  CHECK_HR(v->GetIDsOfNames(sms, NULL, names + 3, 1, 0, ids), SELVARN_DISP_E_UNKNOWNNAME);
  CHECK(ids[0] == -1);
  CHECK_ERROR(438, "nope");
  CHECK_HR(v->GetIDsOfNames(sms, &selvarn_IID__SMS, names, 1, 0, ids),
           SELVARN_DISP_E_UNKNOWNINTERFACE);
  CHECK_ERROR(5, "interface");

  /* An assignment with its value named, then a read; text comes back allocated. A Boolean
     by reference is read through its pointer and assigned as text. */
  selvarn_variant_bool yes = SELVARN_VARIANT_TRUE;
  selvarn_variant args[] = {{.vt = SELVARN_VT_BSTR, .bstrVal = "+447700900001"},
                            {.vt = SELVARN_VT_BOOL | SELVARN_VT_BYREF, .pboolVal = &yes}};
  const char* want[] = {"+447700900001", "True"};
  int32_t put_id = SELVARN_DISPID_PROPERTYPUT;
  selvarn_dispparams none = {NULL, NULL, 0, 0}, put = {args, &put_id, 1, 1};
  selvarn_variant result;
  for (size_t i = 0; i < 2; ++i) {
    put.rgvarg = &args[i];
    CHECK_HR(v->Invoke(sms, 0x68030001, NULL, 0, SELVARN_DISPATCH_PROPERTYPUT, &put, NULL, NULL,
                       NULL),
             SELVARN_S_OK);
    selvarn_VariantInit(&result);
    CHECK_HR(v->Invoke(sms, 0x68030001, NULL, 0,
                       SELVARN_DISPATCH_METHOD | SELVARN_DISPATCH_PROPERTYGET, &none, &result,
                       NULL, NULL),
             SELVARN_S_OK);
    CHECK(result.vt == SELVARN_VT_BSTR && strcmp(result.bstrVal, want[i]) == 0);
    selvarn_VariantClear(&result);
    CHECK(result.vt == SELVARN_VT_EMPTY);
  }

  /* A run-time error of the member comes back as an exception with its number. */
  selvarn_excepinfo e = {0, 0, NULL, NULL};
  CHECK_HR(
      v->Invoke(sms, 0x6803000C, NULL, 0, SELVARN_DISPATCH_PROPERTYGET, &none, &result, &e, NULL),
      SELVARN_DISP_E_EXCEPTION);
  CHECK(e.number == 13 && e.scode == SELVARN_HRESULT_FROM_ERROR(13));
  CHECK(strcmp(e.bstrSource, "SelvarnSMSAPI6.SMS") == 0 && strstr(e.bstrDescription, "DRStatus"));
  selvarn_ExcepInfoClear(&e);
  CHECK(e.number == 0 && e.bstrSource == NULL && e.bstrDescription == NULL);
  CHECK_ERROR(13, "Type mismatch");

  /* Malformed calls: each its own HRESULT, the argument at fault counted as passed (last
     first; 99: none). Arguments are PIN then intPort for InitModem, the value for MN. */
  int16_t port = 3;
  const selvarn_variant no_pin = {.vt = SELVARN_VT_ERROR, .scode = SELVARN_DISP_E_PARAMNOTFOUND};
  struct {
    int32_t id;
    uint16_t flags;
    selvarn_variant args[2];
    uint32_t count, named, at;
    selvarn_hresult hr;
    int32_t number;
    const char* fragment;
  } bad[] = {
      {0x6003000D, SELVARN_DISPATCH_METHOD, {no_pin, {.vt = SELVARN_VT_I4, .lVal = 70000}}, 2, 0,
       1, SELVARN_DISP_E_OVERFLOW, 6, "intPort"},
      {0x6003000D, SELVARN_DISPATCH_METHOD, {no_pin, {.vt = SELVARN_VT_BSTR, .bstrVal = "COM3"}},
       2, 0, 1, SELVARN_DISP_E_TYPEMISMATCH, 13, "intPort"},
      {0x6003000D, SELVARN_DISPATCH_METHOD, {no_pin, {.vt = 99}}, 2, 0, 1,
       SELVARN_DISP_E_BADVARTYPE, 5, "argument 1"},
      {0x6003000D, SELVARN_DISPATCH_METHOD,
       {{.vt = SELVARN_VT_BSTR, .bstrVal = "12\xC3"},
        {.vt = SELVARN_VT_I2 | SELVARN_VT_BYREF, .piVal = &port}},
       2, 0, 0, SELVARN_E_INVALIDARG, 5, "PIN"},
      {0x6003000D, SELVARN_DISPATCH_METHOD, {{0}}, 0, 0, 99, SELVARN_DISP_E_BADPARAMCOUNT, 450,
       "InitModem takes 1 to 2, given 0"},
      {0x6003000F, SELVARN_DISPATCH_METHOD, {{0}}, 0, 0, 99, SELVARN_DISP_E_MEMBERNOTFOUND, 438,
       "member id"},
      {0x68030001, SELVARN_DISPATCH_METHOD, {no_pin}, 1, 1, 99, SELVARN_DISP_E_NONAMEDARGS, 5,
       "by name"},
      {0x68030001, SELVARN_DISPATCH_PROPERTYPUT, {no_pin}, 1, 2, 99, SELVARN_DISP_E_NONAMEDARGS, 5,
       "by name"},
  };
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    selvarn_dispparams p = {bad[i].args, &put_id, bad[i].count, bad[i].named};
    uint32_t at = 99;
    selvarn_VariantInit(&result);
    CHECK_HR(v->Invoke(sms, bad[i].id, NULL, 0, bad[i].flags, &p, &result, NULL, &at), bad[i].hr);
    CHECK(at == bad[i].at && result.vt == SELVARN_VT_EMPTY);
    CHECK_ERROR(bad[i].number, bad[i].fragment);
  }
  sms->lpVtbl->Release(sms);
}

/* Calls `call` until it answers true, for at most about five seconds. */
static int eventually(selvarn_SMS* sms,
                      selvarn_hresult (*call)(selvarn_SMS*, selvarn_variant_bool*)) {
  selvarn_variant_bool ok = SELVARN_VARIANT_FALSE;
  for (int i = 0; i < 50 && ok == SELVARN_VARIANT_FALSE; ++i) {
    if (call(sms, &ok) != SELVARN_S_OK) return 0;
    if (ok == SELVARN_VARIANT_FALSE) usleep(100 * 1000);
  }
  return ok == SELVARN_VARIANT_TRUE;
}

static const char kStart[] =
    "AT<CR>AT+CPIN?<CR>AT+CSMS=0<CR>AT+CSQ<CR>AT+CSDH=1<CR>AT+CMGF=0<CR><CR>AT+CREG?<CR>"
    "AT+CMGS=23<CR><CR>0011000B810621550541F70000AA0AE8329BFD4697D9EC37<^Z><CR>"
    "AT+CMGS=18<CR><CR>0011000B810621550541F70008AA0400680069<^Z><CR>";

static void test_modem(void) {
  const int port = start_sim();
  selvarn_SMS* sms = create();
  selvarn_SMS* other = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  int32_t status = -9;
  selvarn_variant_bool ok = 7;
  CHECK_HR(v->InitModem(sms, (int16_t)port, NULL, &status), SELVARN_S_OK);
  CHECK(status == 1);
  CHECK_HR(v->ConnectToGSM(sms, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  CHECK_HR(v->ConnectToGSM(sms, NULL), SELVARN_E_POINTER);
  CHECK_ERROR(5, "NULL");
  CHECK_HR(v->SendSMST(sms, "012-5550147", "hellohello", &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  CHECK_HR(v->SendSMSU(sms, "012-5550147", "hi", &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  CHECK_HR(v->SendSMST(sms, "0125x", "hi", &ok), SELVARN_HRESULT_FROM_ERROR(5));
  CHECK_ERROR(5, "");
  CHECK_HR(v->DeliveryReportOn(sms, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);

  /* To the modem's own number, so that the parts and their reports come back; the
     arguments by reference come back unchanged. */
  char number[] = "+447700900123", text[201];
  char *number_ref = number, *text_ref = text;
  int16_t reference = 42;
  memset(text, 'x', 200);
  text[200] = '\0';
  CHECK_HR(v->SendLMSText(sms, &number_ref, &text_ref, &reference, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  CHECK(number_ref == number && strcmp(number, "+447700900123") == 0);
  CHECK(text_ref == text && strlen(text) == 200 && reference == 42);
  CHECK_HR(v->SendLMSText(sms, NULL, &text_ref, &reference, &ok), SELVARN_E_POINTER);
  CHECK_ERROR(5, "NULL");
  char* got = NULL;
  CHECK(eventually(sms, v->ReadSMS));
  CHECK_HR(v->get_Msg(sms, &got), SELVARN_S_OK);
  CHECK(strlen(got) == 153 && strspn(got, "x") == 153);
  selvarn_FreeString(got);
  CHECK(eventually(sms, v->GetDeliveryReport));
  CHECK_HR(v->get_DRStatus(sms, &status), SELVARN_S_OK);
  CHECK(status == 1);
  CHECK_HR(v->DeliveryReportOff(sms, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);

  /* Releasing the last reference to one object closes the port its thread shares; an
     object asked for with an interface it lacks is never made, so it closes nothing. */
  selvarn_ClassFactory* factory = NULL;
  void* none = NULL;
  DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IClassFactory, (void**)&factory);
  CHECK_HR(factory->lpVtbl->CreateInstance(factory, NULL, &selvarn_IID_IClassFactory, &none),
           SELVARN_E_NOINTERFACE);
  factory->lpVtbl->Release(factory);
  sms->lpVtbl->AddRef(sms);
  sms->lpVtbl->Release(sms);
  CHECK_HR(other->lpVtbl->ConnectToGSM(other, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  sms->lpVtbl->Release(sms);
  CHECK_HR(other->lpVtbl->ConnectToGSM(other, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_FALSE);
  CHECK_HR(other->lpVtbl->CloseModem(other, &ok), SELVARN_S_OK);
  CHECK(ok == SELVARN_VARIANT_TRUE);
  other->lpVtbl->Release(other);
  const char* written = stop_sim();
  /* Start-up, one network check (none for the call with no place for its result), the
     two sends; then the long message's two parts. */
  if (!CHECK(strncmp(written, kStart, strlen(kStart)) == 0)) fprintf(stderr, "  %s\n", written);
  CHECK(strstr(written, "0500032A0201") && strstr(written, "0500032A0202"));
}

static void test_registration(void) {
  char home[] = "/tmp/selvarn-capi-config-XXXXXX";
  char path[256], text[64] = "";
  selvarn_guid clsid;
  selvarn_SMS* sms = NULL;
  int32_t status = 0;
  if (mkdtemp(home) == NULL) exit(1);
  setenv("XDG_CONFIG_HOME", home, 1);
  snprintf(path, sizeof path, "%s/selvarn-sms/registry.json", home);

  CHECK_HR(selvarn_CreateObject("SelvarnSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms),
           SELVARN_REGDB_E_CLASSNOTREG);
  CHECK_ERROR(429, "SelvarnSMSAPI6.SMS");
  CHECK_HR(DllRegisterServer(), SELVARN_S_OK);
  CHECK_HR(selvarn_CLSIDFromProgID("selvarnsmsapi6.sms", &clsid), SELVARN_S_OK);
  CHECK(memcmp(&clsid, &selvarn_CLSID_SMS, sizeof clsid) == 0);
  CHECK_HR(selvarn_CreateObject("SELVARNSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms),
           SELVARN_S_OK);
  if (CHECK(sms != NULL)) {
    CHECK_HR(sms->lpVtbl->put_DRStatus(sms, 1), SELVARN_S_OK);
    CHECK_HR(sms->lpVtbl->get_DRStatus(sms, &status), SELVARN_S_OK);
    CHECK(status == 1);
    sms->lpVtbl->Release(sms);
  }
  CHECK_HR(DllUnregisterServer(), SELVARN_S_OK);
  CHECK_HR(selvarn_CreateObject("SelvarnSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms),
           SELVARN_REGDB_E_CLASSNOTREG);
  CHECK_ERROR(429, "not registered");
  CHECK(sms == NULL);

  /* A registry that is not ours to read is left alone. */
  FILE* f = fopen(path, "w");
  fputs("{ broken", f);
  fclose(f);
  CHECK_HR(DllRegisterServer(), SELVARN_SELFREG_E_CLASS);
  CHECK_ERROR(75, "not a registry file");
  f = fopen(path, "r");
  text[fread(text, 1, sizeof text - 1, f)] = '\0';
  fclose(f);
  CHECK(strcmp(text, "{ broken") == 0);
  CHECK_HR(selvarn_CLSIDFromProgID("SelvarnSMSAPI6.SMS", &clsid), SELVARN_REGDB_E_CLASSNOTREG);
  CHECK_ERROR(429, "not a registry file");
  unlink(path);
  strcat(path, ".lock");
  unlink(path);
  snprintf(path, sizeof path, "%s/selvarn-sms", home);
  rmdir(path);
  rmdir(home);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: test_capi PATH-OF-selvarn-modemsim\n");
    return 2;
  }
  sim_program = argv[1];
  test_identity_and_lifetime();
  test_properties();
  test_type_info();
  test_dispatch();
  test_modem();
  test_registration();
  printf("capi: %d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
