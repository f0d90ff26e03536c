/* The C ABI as a C program sees it: the public header and the shared library, nothing else.
 * The modem is the simulator program on a private port folder; its transcript shows the
 * bytes the library wrote.    test_capi PATH-OF-selvarn-modemsim */
#define _GNU_SOURCE
#include <signal.h>
#include <sys/time.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "selvarn/selvarn_sms.h"

static int checks, failures;

static int check(int ok, const char* what, int line) {
  ++checks;
  if (!ok) failures += fprintf(stderr, "capi_test.c:%d: failed: %s\n", line, what) > 0;
  return ok;
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

/* Takes the thread's error info: true when it holds number and a description containing
   fragment, and taking it cleared it. */
static int error_is(int32_t number, const char* fragment) {
  int32_t got = -1;
  char* text = NULL;
  const int ok = selvarn_GetErrorInfo(&got, &text) == SELVARN_S_OK && got == number &&
                 text != NULL && strstr(text, fragment) != NULL &&
                 selvarn_GetErrorInfo(&got, NULL) == SELVARN_S_FALSE;
  if (!ok) fprintf(stderr, "  error %d \"%s\", expected %d\n", got, text ? text : "", number);
  selvarn_FreeString(text);
  return ok;
}

static selvarn_SMS* create(void) {
  selvarn_ClassFactory* factory = NULL;
  selvarn_SMS* sms = NULL;
  if (DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IClassFactory, (void**)&factory) ||
      factory->lpVtbl->CreateInstance(factory, NULL, &selvarn_IID__SMS, (void**)&sms)) exit(1);
  factory->lpVtbl->Release(factory);
  return sms;
}

static const char* sim_program;
static FILE* sim_out;
static int sim_pid;
static char sim_folder[] = "/tmp/selvarn-capi-ports-XXXXXX";

/* Starts the simulator, a message and a report waiting, and returns its port number. */
static int start_sim(void) {
  char command[512];
  int port = 0;
  memcpy(sim_folder + sizeof sim_folder - 7, "XXXXXX", 6); /* a new folder each time */
  if (mkdtemp(sim_folder) == NULL) exit(1);
  setenv("SELVARN_SMS_PORTS", sim_folder, 1);
  setenv("SELVARN_SMS_LOG_DIR", sim_folder, 1); /* the long message's parts are logged */
  snprintf(command, sizeof command,
           "echo $$; exec '%s' --ports %s --transcript --do "
           "'message from +447700900001 text Hello' --do 'report ref 7 status 0' 2>/dev/null",
           sim_program, sim_folder);
  sim_out = popen(command, "r");
  if (sim_out == NULL || fscanf(sim_out, "%d port %d", &sim_pid, &port) != 2) exit(1);
  return port;
}

/* Stops the simulator; what the library wrote, in the transcript's printable form. */
static char* stop_sim(void) {
  static char written[8192];
  char line[4096];
  size_t used = 0;
  kill(sim_pid, SIGTERM);
  while (fgets(line, sizeof line, sim_out) != NULL) {
    const char* host = strstr(line, " ms host  ");
    if (host == NULL) continue;
    const size_t n = strcspn(host += 10, "\n");
    if (used + n < sizeof written) memcpy(written + used, host, n), used += n;
  }
  written[used] = '\0';
  pclose(sim_out);
  snprintf(line, sizeof line, "rm -r '%s'", sim_folder); /* the log is left in it */
  if (system(line) != 0) fprintf(stderr, "capi_test.c: %s failed\n", line);
  return written;
}

static void test_identity_and_lifetime(void) {
  static const struct { const selvarn_guid* got; selvarn_guid want; } known[] = {
      {&selvarn_IID_NULL, {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}},
      {&selvarn_IID_IUnknown, {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
      {&selvarn_IID_IDispatch, {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
      {&selvarn_IID_IClassFactory, {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
  };
  for (size_t i = 0; i < 4; ++i) CHECK(memcmp(known[i].got, &known[i].want, 16) == 0);
  selvarn_SMS* sms = create();
  void* other = NULL;
  const selvarn_guid* same[] = {&selvarn_IID_IUnknown, &selvarn_IID_IDispatch, &selvarn_IID__SMS};
  for (size_t i = 0; i < 3; ++i)
    CHECK(sms->lpVtbl->QueryInterface(sms, same[i], &other) == SELVARN_S_OK && other == sms);
  CHECK(sms->lpVtbl->QueryInterface(sms, &selvarn_CLSID_SMS, &other) == SELVARN_E_NOINTERFACE);
  CHECK(other == NULL && sms->lpVtbl->AddRef(sms) == 5 && DllCanUnloadNow() == SELVARN_S_FALSE);
  for (uint32_t left = 5; left-- > 0;) CHECK(sms->lpVtbl->Release(sms) == left);
  CHECK(DllCanUnloadNow() == SELVARN_S_OK);

  selvarn_ClassFactory* factory = NULL;
  CHECK(DllGetClassObject(&selvarn_IID__SMS, &selvarn_IID_IClassFactory, (void**)&factory) ==
        SELVARN_CLASS_E_CLASSNOTAVAILABLE);
  CHECK(DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IUnknown, (void**)&factory) == 0);
  CHECK(factory->lpVtbl->CreateInstance(factory, factory, &selvarn_IID__SMS, &other) ==
        SELVARN_CLASS_E_NOAGGREGATION);
  CHECK(factory->lpVtbl->CreateInstance(factory, NULL, &selvarn_IID_IClassFactory, &other) ==
        SELVARN_E_NOINTERFACE);
  CHECK(factory->lpVtbl->LockServer(factory, -1) == 0);  // automation's true locks too
  factory->lpVtbl->Release(factory);
  CHECK(DllCanUnloadNow() == SELVARN_S_FALSE);
  CHECK(factory->lpVtbl->LockServer(factory, 0) == 0 && DllCanUnloadNow() == SELVARN_S_OK);
}

/* The slots of every text property come from one macro; MN stands for them all. */
static void test_properties(void) {
  selvarn_SMS* sms = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  char* got = NULL;
  int32_t status = 7;
  CHECK(v->get_DRStatus(sms, &status) == SELVARN_HRESULT_FROM_ERROR(13) && status == 7);
  CHECK(error_is(13, "Type mismatch"));
  CHECK(v->put_DRStatus(sms, 2) == 0 && v->get_DRStatus(sms, &status) == 0 && status == 2);
  CHECK(v->put_MN(sms, "Grüße €") == 0 && v->get_MN(sms, &got) == 0);
  CHECK(strcmp(got, "Grüße €") == 0 && selvarn_StringLength(got) == strlen("Grüße €"));
  selvarn_FreeString(got);
  /* Text that is no UTF-8 is refused and changes nothing; NULL is empty. */
  CHECK(v->put_MN(sms, "caf\xE9") == SELVARN_E_INVALIDARG && error_is(5, "UTF-8"));
  CHECK(v->get_MN(sms, &got) == 0 && strcmp(got, "Grüße €") == 0);
  selvarn_FreeString(got);
  CHECK(v->put_MN(sms, NULL) == 0 && v->get_MN(sms, &got) == 0 && *got == '\0');
  selvarn_FreeString(got);
  /* Fault mended: a get with no place for its result made and leaked its string. */
  CHECK(v->get_MN(sms, NULL) == SELVARN_E_POINTER && error_is(5, "NULL"));
  sms->lpVtbl->Release(sms);
}

/* The type description and the late-bound calls: names to ids, a named assignment, a
   by-reference argument, errors with the position of the argument at fault. */
static void test_dispatch(void) {
  selvarn_SMS* sms = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  const selvarn_typeinfo* info = NULL;
  uint32_t count = 0;
  CHECK(v->GetTypeInfoCount(sms, &count) == 0 && count == 1);
  CHECK(v->GetTypeInfo(sms, 1, 0, &info) == SELVARN_DISP_E_BADINDEX && error_is(5, "type info"));
  CHECK(v->GetTypeInfo(sms, 0, 0, &info) == 0 && info->func_count == 36);
  CHECK(info->type_flags == (SELVARN_TYPEFLAG_FHIDDEN | SELVARN_TYPEFLAG_FDUAL |
                             SELVARN_TYPEFLAG_FNONEXTENSIBLE | SELVARN_TYPEFLAG_FDISPATCHABLE));
  CHECK(info->funcs[35].vtable_slot == 42 && memcmp(&info->clsid, &selvarn_CLSID_SMS, 16) == 0);

  /* A method's name, then its parameters' names, in any case. */
  const char* names[] = {"sendlmstext", "INTMESSAGEREFERENCE", "strMobileNumber", "nope"};
  int32_t ids[4];
  CHECK(v->GetIDsOfNames(sms, NULL, names, 3, 0, ids) == 0);
  CHECK(ids[0] == 0x60030011 && ids[1] == 2 && ids[2] == 0);
  CHECK(v->GetIDsOfNames(sms, NULL, names, 4, 0, ids) == SELVARN_DISP_E_UNKNOWNNAME);
  CHECK(ids[3] == -1 && error_is(438, "nope"));
  /* A null or empty name, of a member or of a parameter, names nothing. */
  const char* unnamed[][2] = {{"", "x"}, {NULL, "x"}, {"SendSMST", ""}, {"SendSMST", NULL}};
  for (size_t i = 0; i < 4; ++i) {
    CHECK(v->GetIDsOfNames(sms, NULL, unnamed[i], 2, 0, ids) == SELVARN_DISP_E_UNKNOWNNAME);
    CHECK(ids[1] == -1 && error_is(438, "property or method: "));
  }
  CHECK(v->GetIDsOfNames(sms, &selvarn_IID__SMS, names, 1, 0, ids) ==
        SELVARN_DISP_E_UNKNOWNINTERFACE);
  CHECK(error_is(5, "interface"));

  /* An assignment with its value named, a Boolean by reference, reads back as text. */
  selvarn_variant_bool yes = SELVARN_VARIANT_TRUE;
  selvarn_variant arg = {.vt = SELVARN_VT_BOOL | SELVARN_VT_BYREF, .pboolVal = &yes}, result;
  int32_t put_id = SELVARN_DISPID_PROPERTYPUT;
  selvarn_dispparams none = {NULL, NULL, 0, 0}, put = {&arg, &put_id, 1, 1};
  selvarn_VariantInit(&result);
  CHECK(v->Invoke(sms, 0x68030001, NULL, 0, SELVARN_DISPATCH_PROPERTYPUT, &put, 0, 0, 0) == 0);
  CHECK(v->Invoke(sms, 0x68030001, NULL, 0, 3, &none, &result, NULL, NULL) == 0);
  CHECK(result.vt == SELVARN_VT_BSTR && strcmp(result.bstrVal, "True") == 0);
  selvarn_VariantClear(&result);
  CHECK(result.vt == SELVARN_VT_EMPTY);
  selvarn_excepinfo e = {0, 0, NULL, NULL};
  CHECK(v->Invoke(sms, 0x6803000C, NULL, 0, SELVARN_DISPATCH_PROPERTYGET, &none, &result, &e,
                  NULL) == SELVARN_DISP_E_EXCEPTION);
  CHECK(e.number == 13 && e.scode == SELVARN_HRESULT_FROM_ERROR(13) && strstr(e.bstrDescription, "DRStatus"));
  CHECK(strcmp(e.bstrSource, "SelvarnSMSAPI6.SMS") == 0);
  selvarn_ExcepInfoClear(&e);
  CHECK(e.number == 0 && e.bstrSource == NULL && e.bstrDescription == NULL);
  CHECK(error_is(13, "Type mismatch"));

  /* Malformed calls: the argument at fault counted as passed, last first (99: none).
     InitModem's arguments come PIN then intPort. */
  int16_t port = 3;
  const selvarn_variant no_pin = {.vt = SELVARN_VT_ERROR, .scode = SELVARN_DISP_E_PARAMNOTFOUND};
  const selvarn_variant pin = {.vt = SELVARN_VT_BSTR, .bstrVal = "12\xC3"};
  struct {
    int32_t id; uint16_t flags; selvarn_variant args[2]; uint32_t count, named, at;
    selvarn_hresult hr; int32_t number; const char* fragment;
  } bad[] = {
      {0x6003000D, 1, {no_pin, {.vt = SELVARN_VT_I4, .lVal = 70000}}, 2, 0, 1, SELVARN_DISP_E_OVERFLOW, 6, "intPort"},
      {0x6003000D, 1, {no_pin, {.vt = 99}}, 2, 0, 1, SELVARN_DISP_E_BADVARTYPE, 5, "argument 1"},
      {0x6003000D, 1, {pin, {.vt = SELVARN_VT_I2 | SELVARN_VT_BYREF, .piVal = &port}}, 2, 0, 0, SELVARN_E_INVALIDARG, 5, "PIN"},
      {0x6003000D, 1, {{0}}, 0, 0, 99, SELVARN_DISP_E_BADPARAMCOUNT, 450, "takes 1 to 2, given 0"},
      {0x68030001, 1, {no_pin}, 1, 1, 99, SELVARN_DISP_E_NONAMEDARGS, 5, "by name"},
      {0x68030001, 4, {no_pin}, 1, 2, 99, SELVARN_DISP_E_NONAMEDARGS, 5, "by name"},
  };
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    selvarn_dispparams p = {bad[i].args, &put_id, bad[i].count, bad[i].named};
    uint32_t at = 99;
    selvarn_VariantInit(&result);
    CHECK(v->Invoke(sms, bad[i].id, NULL, 0, bad[i].flags, &p, &result, NULL, &at) == bad[i].hr);
    CHECK(at == bad[i].at && result.vt == SELVARN_VT_EMPTY &&
          error_is(bad[i].number, bad[i].fragment));
  }
  sms->lpVtbl->Release(sms);
}

static const char kStart[] =
    "AT<CR>AT+CPIN?<CR>AT+CSMS=0<CR>AT+CSQ<CR>AT+CSDH=1<CR>AT+CMGF=0<CR><CR>AT+CREG?<CR>"
    "AT+CMGS=23<CR><CR>0011000B810621550541F70000AA0AE8329BFD4697D9EC37<^Z><CR>"
    "AT+CMGS=18<CR><CR>0011000B810621550541F70008AA0400680069<^Z><CR>";

static void test_modem(void) {
  const int port = start_sim();
  selvarn_SMS* sms = create();
  const selvarn_SMSVtbl* v = sms->lpVtbl;
  int32_t status = -9;
  selvarn_variant_bool ok = 7;
  selvarn_start_report report;
  CHECK(v->InitModem(sms, (int16_t)port, NULL, &status) == 0 && status == 1);
  CHECK(selvarn_GetStartReport(sms, &report) == 0 && report.status == 1 &&
        report.reason == SELVARN_START_NO_FAILURE && report.speed_count == 1 &&
        report.speeds_tried[0] == 115200 && strncmp(report.device, "/dev/pts/", 9) == 0 &&
        *report.detail == '\0' && *report.notice == '\0');
  selvarn_StartReportClear(&report);
  CHECK(report.device == NULL && report.speed_count == 0);
  CHECK(selvarn_GetStartReport(sms, NULL) == SELVARN_E_POINTER && error_is(5, "NULL"));
  CHECK(v->ConnectToGSM(sms, &ok) == 0 && ok == SELVARN_VARIANT_TRUE);
  /* Fault mended: a call with no place for its result still ran (a send went out). */
  CHECK(v->ConnectToGSM(sms, NULL) == SELVARN_E_POINTER && error_is(5, "NULL"));
  CHECK(v->SendSMST(sms, "012-5550147", "hellohello", &ok) == 0 && ok == SELVARN_VARIANT_TRUE);
  CHECK(v->SendSMSU(sms, "012-5550147", "hi", &ok) == 0 && ok == SELVARN_VARIANT_TRUE);
  CHECK(v->DeliveryReportOn(sms, &ok) == 0 && ok == SELVARN_VARIANT_TRUE);

  /* The arguments by reference come back unchanged. */
  char number[] = "+447700900001", text[201] = "";
  char *number_ref = number, *text_ref = memset(text, 'x', 200);
  int16_t reference = 42;
  CHECK(v->SendLMSText(sms, &number_ref, &text_ref, &reference, &ok) == 0 && ok == -1);
  CHECK(number_ref == number && strcmp(number, "+447700900001") == 0);
  CHECK(text_ref == text && strlen(text) == 200 && reference == 42);
  /* Each part asked for a report; their notices are heard by the commands that follow. */
  int reports = 0, others = 0;
  for (int tries = 0; tries < 40 && reports + others < 2; ++tries) {
    selvarn_notice* notices = NULL;
    int32_t count = -1;
    usleep(25000);
    CHECK(v->ConnectToGSM(sms, &ok) == 0 && ok == SELVARN_VARIANT_TRUE);
    CHECK(selvarn_TakeNotices(sms, &notices, &count) == 0 && count >= 0 &&
          (count == 0) == (notices == NULL));
    for (int32_t i = 0; i < count; ++i) {
      const selvarn_notice* n = &notices[i];
      if (n->kind == SELVARN_NOTICE_REPORT_STORED && strcmp(n->memory, "SR") == 0 &&
          n->index >= 1 && strncmp(n->line, "+CDSI: ", 7) == 0 && *n->data == '\0') {
        ++reports;
      } else {
        ++others;
      }
    }
    selvarn_NoticesFree(notices, count);
  }
  CHECK(reports == 2 && others == 0);
  int32_t count = -1;
  CHECK(selvarn_TakeNotices(sms, NULL, &count) == SELVARN_E_POINTER && error_is(5, "NULL"));
  CHECK(v->ReadSMS(sms, &ok) == 0 && ok == -1 && v->GetDeliveryReport(sms, &ok) == 0 && ok == -1);
  CHECK(v->get_DRStatus(sms, &status) == 0 && status == 1);
  CHECK(v->DeliveryReportOff(sms, &ok) == 0 && ok == SELVARN_VARIANT_TRUE);

  CHECK(v->CloseModem(sms, &ok) == 0 && ok == -1 && v->ConnectToGSM(sms, &ok) == 0 && ok == 0);
  /* Why a start-up failed: here, a port that leads to no device. */
  CHECK(v->InitModem(sms, 30000, NULL, &status) == 0 && status == 0);
  CHECK(selvarn_GetStartReport(sms, &report) == 0 && report.status == 0 &&
        report.reason == SELVARN_START_NO_DEVICE && report.speed_count == 0 &&
        strcmp(report.device, "/dev/ttyS29999") == 0 &&
        strcmp(report.detail, "cannot open it: No such file or directory") == 0);
  selvarn_StartReportClear(&report);
  sms->lpVtbl->Release(sms);
  /* Start-up, one network check (none for the call with no place for its result), the
     two sends; then the long message's two parts. */
  const char* written = stop_sim();
  if (!CHECK(strncmp(written, kStart, sizeof kStart - 1) == 0)) fprintf(stderr, "%s\n", written);
  CHECK(strstr(written, "0500032A0201") && strstr(written, "0500032A0202"));
}


/* The modem session: the same calls the Python Gateway makes, on a device path. */
static const char kOwn[] = "+447700900123"; /* the simulator's own number: sent, it comes back */

static void test_plan(void) {
  static const struct {
    const char* text; int32_t coding; int32_t want_coding, parts, first, last, unmapped;
  } rows[] = {
      {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93", SELVARN_SEND_AUTO, SELVARN_SEND_UCS2, 1, 7, 7, 0},
      {"\xE2\x9C\x93 ok", SELVARN_SEND_GSM7, SELVARN_SEND_GSM7, 1, 4, 4, 1},
      {"hi", SELVARN_SEND_UCS2, SELVARN_SEND_UCS2, 1, 2, 2, 0},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    selvarn_text_plan plan;
    CHECK(selvarn_gateway_plan(rows[i].text, rows[i].coding, &plan) == 0);
    CHECK(plan.coding == rows[i].want_coding && plan.parts == rows[i].parts &&
          plan.concatenated == 0 && plan.lengths[0] == rows[i].first &&
          plan.lengths[plan.parts - 1] == rows[i].last && plan.unmapped == rows[i].unmapped);
    selvarn_text_plan_clear(&plan);
    CHECK(plan.lengths == NULL && plan.parts == 0);
  }
  char long_text[162];
  memset(long_text, 'x', 161), long_text[161] = '\0';
  selvarn_text_plan plan;
  CHECK(selvarn_gateway_plan(long_text, SELVARN_SEND_AUTO, &plan) == 0 && plan.parts == 2 &&
        plan.concatenated == 1 && plan.lengths[0] == 153 && plan.lengths[1] == 8);
  selvarn_text_plan_clear(&plan);
  CHECK(selvarn_gateway_plan("", SELVARN_SEND_AUTO, &plan) == SELVARN_HRESULT_FROM_ERROR(5) &&
        plan.lengths == NULL && error_is(5, "no text"));
  CHECK(selvarn_gateway_plan("hi", 3, &plan) == SELVARN_HRESULT_FROM_ERROR(5) &&
        error_is(5, "coding 3"));
}

struct watched {
  selvarn_gateway* gw;
  int messages, reports, sent;
  int64_t sent_id;
  char text[64];
};

static void on_message(const selvarn_message* m, void* user) {
  struct watched* w = user;
  ++w->messages;
  if (strcmp(m->sender, kOwn) == 0) snprintf(w->text, sizeof w->text, "%s", m->text);
  selvarn_gateway_stop(w->gw); /* stopped from within */
}
static void on_report(const selvarn_report* r, int32_t state, void* user) {
  ((struct watched*)user)->reports += r->sent_id > 0 && state == SELVARN_DELIVERY_DELIVERED;
}
static void on_sent(const selvarn_send_outcome* o, void* user) {
  struct watched* w = user;
  ++w->sent;
  w->sent_id = o->record.send_state == SELVARN_SEND_STATE_SENT ? o->id : -1;
}

/* Start-up with notices on; "hi" asking for no report (first octet 01); the take, one listing
   and one deletion per storage; the watch's first look; the queued message asking for one
   (21). Then notices make the watch take again, in an order the network decides. */
static const char kGatewayWire[] =
    "AT<CR>AT+CPIN?<CR>AT+CSMS=0<CR>AT+CSQ<CR>AT+CSDH=1<CR>AT+CMGF=0<CR><CR>"
    "AT+CNMI=2,1,0,2,0<CR>AT+CPMS?<CR>"
    "AT+CMGS=15<CR><CR>0001000C91447700090010000002E834<^Z><CR>"
    "AT+CPMS=\"SR\"<CR>AT+CMGL=4<CR>AT+CMGD=1<CR>AT+CPMS=\"SM\"<CR>AT+CMGL=4<CR>AT+CMGD=1<CR>"
    "AT+CPMS=\"SR\"<CR>AT+CMGL=4<CR>AT+CPMS=\"SM\"<CR>AT+CMGL=4<CR>"
    "AT+CMGS=19<CR><CR>0021000C91447700091032000006F17AB95E2603<^Z><CR>";

static selvarn_gateway* watched_gateway;
static void stop_on_alarm(int signal) {
  (void)signal;
  selvarn_gateway_stop(watched_gateway);
}

static void test_gateway(void) {
  const int port = start_sim();
  char device[256], store[256];
  snprintf(device, sizeof device, "%s/com%d", sim_folder, port);
  snprintf(store, sizeof store, "%s/messages.db", sim_folder);
  selvarn_gateway_options options;
  selvarn_gateway_options_init(&options);
  selvarn_gateway* gw = NULL;
  options.store = store;
  options.sweep = 0;
  CHECK(selvarn_gateway_new(&options, &gw) == SELVARN_HRESULT_FROM_ERROR(5) && gw == NULL &&
        error_is(5, "sweep 0"));
  options.sweep = 30;
  options.device = device;
  int32_t status = -1;
  CHECK(selvarn_gateway_new(&options, &gw) == 0 && selvarn_gateway_open(gw, &status) == 0);
  CHECK(status == 1);
  selvarn_start_report report;
  CHECK(selvarn_gateway_start_report(gw, &report) == 0 && report.reason == SELVARN_START_NO_FAILURE &&
        strncmp(report.device, "/dev/pts/", 9) == 0);
  selvarn_StartReportClear(&report);

  /* A send, and its record read back. */
  selvarn_outgoing out;
  selvarn_outgoing_init(&out);
  out.number = "not a number";
  out.text = "hi";
  selvarn_send_outcome sent;
  CHECK(selvarn_gateway_send(gw, &out, NULL, NULL, &sent) == SELVARN_HRESULT_FROM_ERROR(5) &&
        sent.error == NULL && error_is(5, "number"));
  out.number = "+447700900001";
  out.report = 0;
  CHECK(selvarn_gateway_send(gw, &out, NULL, NULL, &sent) == 0 && sent.id > 0 &&
        sent.coding == SELVARN_CODING_GSM7 && sent.error_number == 0 && *sent.error == '\0');
  CHECK(sent.reference_count == 1 && sent.has_record && sent.record.part_count == 1 &&
        sent.record.parts[0].reference == sent.references[0] &&
        sent.record.send_state == SELVARN_SEND_STATE_SENT);
  selvarn_sent_record record;
  CHECK(selvarn_gateway_sent(gw, sent.id, &record) == 0 && record.id == sent.id &&
        strcmp(record.recipient, "+447700900001") == 0 && strcmp(record.text, "hi") == 0 &&
        record.part_count == 1 && record.parts[0].send == SELVARN_PART_TAKEN &&
        record.parts[0].status == -1 && record.state == SELVARN_DELIVERY_PENDING);
  selvarn_sent_record_clear(&record);
  CHECK(selvarn_gateway_sent(gw, sent.id + 100, &record) == SELVARN_S_FALSE && record.text == NULL);
  selvarn_send_outcome_clear(&sent);

  /* The message waiting on the modem, taken in one pass, then handed out once. */
  selvarn_take_result taken;
  selvarn_message* items = NULL;
  int32_t count = -1, marked = -1;
  CHECK(selvarn_gateway_take(gw, &taken) == 0 && taken.parts == 1 && taken.reports == 1 &&
        taken.quarantined == 0 && taken.left == 0 && taken.warning_count == 0);
  selvarn_take_result_clear(&taken);
  CHECK(selvarn_gateway_new_messages(gw, &items, &count) == 0 && count == 1 &&
        strcmp(items[0].sender, "+447700900001") == 0 && strcmp(items[0].text, "Hello") == 0 &&
        items[0].reference == -1 && items[0].handed_out_at == 0 && items[0].completed_at > 0);
  const int64_t id = count == 1 ? items[0].id : 0;
  selvarn_messages_free(items, count);
  CHECK(selvarn_gateway_mark_handed_out(gw, id, &marked) == 0 && marked == 1);
  CHECK(selvarn_gateway_mark_handed_out(gw, id, &marked) == 0 && marked == 0);
  CHECK(selvarn_gateway_new_messages(gw, &items, &count) == 0 && count == 0 && items == NULL);
  CHECK(selvarn_gateway_inbox(gw, 0, &items, &count) == 0 && count == 1 &&
        items[0].handed_out_at > 0);
  selvarn_messages_free(items, count);
  /* The report waiting was for no message of this store. */
  selvarn_report* reports = NULL;
  CHECK(selvarn_gateway_reports(gw, 0, &reports, &count) == 0 && count == 1 &&
        reports[0].reference == 7 && reports[0].sent_id == 0 && reports[0].status == 0);
  selvarn_reports_free(reports, count);

  /* Queued, then sent by the watch, which hears it come back and stops from the callback. */
  struct watched w = {gw, 0, 0, 0, 0, ""};
  selvarn_watch_handlers handlers = {on_message, on_report, on_sent, NULL, &w};
  int64_t queued = 0;
  out.number = kOwn;
  out.text = "queued";
  out.report = 1;
  CHECK(selvarn_gateway_enqueue(gw, &out, &queued) == 0 && queued > id);
  CHECK(selvarn_gateway_watch(gw, &handlers) == 0);
  CHECK(w.sent == 1 && w.sent_id == queued && w.messages == 1 && strcmp(w.text, "queued") == 0);
  selvarn_sent_record* outbox = NULL;
  CHECK(selvarn_gateway_outbox(gw, 0, &outbox, &count) == 0 && count == 2 &&
        outbox[1].id == queued && strcmp(outbox[1].recipient, kOwn) == 0 &&
        outbox[1].send_state == SELVARN_SEND_STATE_SENT);
  selvarn_sent_records_free(outbox, count);
  /* A second process sees the watcher only while it watches. */
  CHECK(selvarn_gateway_hand_to_watcher(store, &out, &queued) == SELVARN_HRESULT_FROM_ERROR(8005) &&
        queued == 0 && error_is(8005, "watch"));

  /* A watch ended by a signal handler. */
  struct itimerval in_200_ms = {{0, 0}, {0, 200000}};
  watched_gateway = gw;
  signal(SIGALRM, stop_on_alarm);
  CHECK(setitimer(ITIMER_REAL, &in_200_ms, NULL) == 0 && selvarn_gateway_watch(gw, NULL) == 0);
  signal(SIGALRM, SIG_DFL);
  selvarn_variant_bool registered = SELVARN_VARIANT_FALSE;
  CHECK(selvarn_gateway_registered(gw, &registered) == 0 && registered == SELVARN_VARIANT_TRUE);
  CHECK(selvarn_gateway_close(gw) == 0);
  CHECK(selvarn_gateway_registered(gw, &registered) == 0 && registered == SELVARN_VARIANT_FALSE);
  selvarn_gateway_free(gw);
  selvarn_gateway_free(NULL);
  selvarn_gateway_stop(NULL);
  const char* written = stop_sim();
  if (!CHECK(strncmp(written, kGatewayWire, sizeof kGatewayWire - 1) == 0))
    fprintf(stderr, "%s\n", written);
}

/* Writes text to path; false when it cannot. */
static int write_file(const char* path, const char* text) {
  FILE* f = fopen(path, "w");
  const int ok = f != NULL && fputs(text, f) >= 0;
  return (f == NULL || fclose(f) == 0) && ok;
}

/* Takes the thread's error info: true when its description holds each of two fragments. */
static int error_has_both(const char* a, const char* b) {
  int32_t number = -1;
  char* text = NULL;
  const int ok = selvarn_GetErrorInfo(&number, &text) == SELVARN_S_OK && number == 5 &&
                 text != NULL && strstr(text, a) != NULL && strstr(text, b) != NULL;
  if (!ok) fprintf(stderr, "  error %d \"%s\"\n", number, text ? text : "");
  selvarn_FreeString(text);
  return ok;
}

/* Webhook deliveries of the received message, signed, to the URL configured. */
static _Atomic int posted;
static int32_t count_posts(const char* url, const char* body, const char* headers, void* user) {
  (void)user;
  posted += strcmp(url, "http://127.0.0.1:9/in") == 0 && strstr(body, "\"Hello\"") != NULL &&
            strstr(headers, "\nX-Selvarn-Signature: sha256=") != NULL;
  return 200;
}

static void test_service(void) {
  const int port = start_sim();
  char config[256], text[1024];
  selvarn_service* svc = NULL;
  snprintf(config, sizeof config, "%s/gateway.toml", sim_folder);
  /* Every error of the file comes back, each with its line. */
  CHECK(write_file(config, "store = \"relative.db\"\n[[modem]]\nname = \"a b\"\n"));
  snprintf(text, sizeof text, "\n%s:3:", config);
  CHECK(selvarn_service_open(config, NULL, NULL, &svc) == SELVARN_HRESULT_FROM_ERROR(5) &&
        svc == NULL && error_has_both("gateway.toml:1:", text));
  snprintf(text, sizeof text,
           "store = \"%s/messages.db\"\n[[modem]]\nname = \"a\"\n"
           "device = \"%s/com%d\"\n[[received.webhook]]\nurl = \"http://127.0.0.1:9/in\"\n"
           "secret = \"a long shared secret\"\n",
           sim_folder, sim_folder, port);
  CHECK(write_file(config, text));
  CHECK(selvarn_service_open(config, count_posts, NULL, &svc) == 0 &&
        selvarn_service_start(svc) == 0);

  /* Refused before anything is queued, naming the field at fault. */
  static const struct {
    const char *to, *text, *modem, *tag, *field;
  } refused[] = {
      {"not a number", "hi", NULL, NULL, "to"},
      {"+447700900001", "", NULL, NULL, "text"},
      {"+447700900001", "hi", "b", NULL, "modem"},
      {"+447700900001", "hi", NULL, "urgent", "tag"},
  };
  selvarn_submission m;
  selvarn_submit_result got;
  for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
    selvarn_submission_init(&m);
    m.to = refused[i].to, m.text = refused[i].text, m.modem = refused[i].modem,
    m.tag = refused[i].tag;
    if (!CHECK(selvarn_service_submit(svc, &m, &got) == SELVARN_S_FALSE && got.id == 0 &&
               got.json == NULL && strcmp(got.field, refused[i].field) == 0 && *got.message))
      fprintf(stderr, "  row %zu\n", i);
    selvarn_submit_result_clear(&got);
  }
  selvarn_submission_init(&m);
  m.to = "+447700900001", m.text = "hi", m.coding = 3;
  CHECK(selvarn_service_submit(svc, &m, &got) == SELVARN_HRESULT_FROM_ERROR(5) &&
        got.field == NULL && error_is(5, "coding 3"));
  /* Accepted, once for its key, then sent through the simulator. */
  selvarn_submission_init(&m);
  m.to = "+447700900001", m.text = "hi", m.report = 0, m.idempotency_key = "order-1";
  CHECK(selvarn_service_submit(svc, &m, &got) == 0 && got.id > 0 && got.existed == 0 &&
        strstr(got.json, "\"idempotency_key\":\"order-1\"") != NULL && got.field == NULL);
  const int64_t id = got.id;
  selvarn_submit_result_clear(&got);
  CHECK(selvarn_service_submit(svc, &m, &got) == 0 && got.id == id && got.existed == 1);
  selvarn_submit_result_clear(&got);
  char* json = NULL;
  int sent = 0;
  for (int i = 0; i < 100 && !sent; ++i, usleep(50000)) {
    if (selvarn_service_message(svc, id, &json) == 0)
      sent = strstr(json, "\"state\":\"sent\"") != NULL;
    selvarn_FreeString(json);
  }
  CHECK(sent);
  CHECK(selvarn_service_message(svc, id + 100, &json) == SELVARN_S_FALSE && json == NULL);
  /* The message waiting on the modem was taken and passed on. */
  int taken = 0;
  for (int i = 0; i < 100 && !(taken && posted); ++i, usleep(50000)) {
    if (selvarn_service_inbox(svc, 0, 10, &json) == 0)
      taken = strstr(json, "\"text\":\"Hello\"") != NULL;
    selvarn_FreeString(json);
  }
  CHECK(taken);
  /* Pages as the HTTP API allows them. */
  static const struct {
    int64_t after;
    int32_t limit;
    const char* refused;
  } pages[] = {
      {0, 1, NULL},         {0, 1000, NULL}, {0, 0, "limit 0"}, {0, 1001, "limit 1001"},
      {-1, 10, "after -1"},
  };
  for (size_t i = 0; i < sizeof pages / sizeof pages[0]; ++i) {
    const selvarn_hresult hr = selvarn_service_reports(svc, pages[i].after, pages[i].limit, &json);
    if (!CHECK(pages[i].refused ? hr == SELVARN_HRESULT_FROM_ERROR(5) && json == NULL &&
                                      error_is(5, pages[i].refused)
                                : hr == 0 && json != NULL))
      fprintf(stderr, "  page row %zu\n", i);
    selvarn_FreeString(json);
  }
  CHECK(selvarn_service_reports(svc, 0, 10, &json) == 0 && strstr(json, "\"reference\":7") != NULL);
  selvarn_FreeString(json);
  CHECK(selvarn_service_modems(svc, &json) == 0 && strstr(json, "\"name\":\"a\"") != NULL);
  selvarn_FreeString(json);
  CHECK(selvarn_service_metrics(svc, &json) == 0 && strstr(json, "# TYPE ") != NULL);
  selvarn_FreeString(json);
  /* A reload that would change the store applies nothing. */
  CHECK(write_file(
      config,
      "store = \"/tmp/elsewhere.db\"\n[[modem]]\nname = \"a\"\ndevice = \"/dev/ttyUSB0\"\n"));
  CHECK(selvarn_service_reload(svc, config) == SELVARN_HRESULT_FROM_ERROR(5) &&
        error_has_both("gateway.toml", "store"));
  CHECK(selvarn_service_stop(svc) == 0);
  selvarn_service_free(svc);
  selvarn_service_free(NULL);
  CHECK(posted == 1);
  const char* written = stop_sim();
  if (!CHECK(strstr(written, "AT+CMGS=15<CR><CR>0001000C91447700090010000002E834<^Z>") != NULL))
    fprintf(stderr, "%s\n", written);
}

static void test_registration(void) {
  char home[] = "/tmp/selvarn-capi-config-XXXXXX", path[256];
  selvarn_guid clsid;
  selvarn_SMS* sms = NULL;
  if (mkdtemp(home) == NULL) exit(1);
  setenv("XDG_CONFIG_HOME", home, 1);
  CHECK(DllRegisterServer() == 0 && selvarn_CLSIDFromProgID("selvarnsmsapi6.sms", &clsid) == 0);
  CHECK(memcmp(&clsid, &selvarn_CLSID_SMS, sizeof clsid) == 0);
  CHECK(selvarn_CreateObject("SELVARNSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms) == 0 &&
        sms->lpVtbl->Release(sms) == 0);
  CHECK(DllUnregisterServer() == 0);
  CHECK(selvarn_CreateObject("SelvarnSMSAPI6.SMS", &selvarn_IID__SMS, (void**)&sms) ==
        SELVARN_REGDB_E_CLASSNOTREG);
  CHECK(error_is(429, "SelvarnSMSAPI6.SMS: not registered") && sms == NULL);  // cleared

  /* A registry that is not ours to read is left alone. */
  snprintf(path, sizeof path, "%s/selvarn-sms/registry.json", home);
  FILE* f = fopen(path, "w");
  fputs("{ broken", f);
  fclose(f);
  CHECK(DllRegisterServer() == SELVARN_SELFREG_E_CLASS && error_is(75, "not a registry file"));
  CHECK(selvarn_CLSIDFromProgID("SelvarnSMSAPI6.SMS", &clsid) == SELVARN_REGDB_E_CLASSNOTREG);
  CHECK(error_is(429, "not a registry file"));
  snprintf(path, sizeof path, "rm -r %s", home);
  CHECK(system(path) == 0);
}

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: test_capi PATH-OF-selvarn-modemsim\n"), 2;
  sim_program = argv[1];
  test_identity_and_lifetime();
  test_properties();
  test_dispatch();
  test_modem();
  test_plan();
  test_gateway();
  test_service();
  test_registration();
  printf("capi: %d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
