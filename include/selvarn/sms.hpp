// selvarn-sms: send and receive SMS through a GSM modem on a serial port.
//
//   selvarn::SMS sms;
//   if (sms.InitModem(1, "1234") == selvarn::ModemStatus::OK && sms.ConnectToGSM()) { ... }
//   sms.CloseModem();
//
// All objects of one thread share one serial port; releasing any of them closes it.
// Text is UTF-8. Failures of the modem come back as false or ModemStatus::Fail; failures
// of the port or of the arguments are thrown as selvarn::RuntimeError where documented.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "selvarn/error.hpp"
#include "selvarn/export.hpp"

namespace selvarn {

enum class DeliveryStatus : std::int32_t { Undelivered = 0, Delivered = 1, Unknown = 2 };

enum class ModemStatus : std::int32_t {
  Fail = 0,
  OK = 1,
  PINRequired = 2,
  PINWrong = 3,
  SIMBlocked = 4,
  SIMError = 5,
};

// Sets the calling thread's event pump, run once in every 50 ms polling cycle while the
// library waits for the modem (a GUI toolkit's "process pending events"). Empty by default.
// The hook must not call into the library.
SELVARN_API void SetMessagePump(std::function<void()> hook);

// The library's version, "major.minor.patch"; the major number is the shared library's
// (libselvarnsms.so.6 for 6.x.y).
SELVARN_API const char* LibraryVersion() noexcept;

// Beyond the automation interface: what a read part is, a receive hook, and sends that
// pick their coding. Without SetReceiveHook, SetSendProgress and the sends below, every
// member of SMS behaves exactly as documented with it.

// The concatenation element of a part of a long message (TS 23.040 9.2.3.24.1 and .8).
struct Concatenation {
  int reference = 0;       // 0-255 with the 8-bit element, 0-65535 with the 16-bit one
  int reference_bits = 8;  // 8 or 16
  int total = 0;           // parts in the message
  int sequence = 0;        // this part, 1-based (0 where a whole message is meant)

  bool operator==(const Concatenation&) const = default;
};

// What ReadSMS decoded, handed to the receive hook before the message is deleted.
struct ReceivedMessage {
  int index = 0;  // SIM storage index it was read from
  std::string smsc, sender, scts, text;
  std::string pdu;                      // as the modem listed it (hex, service-centre field first)
  int dcs = 0;                          // the raw TP-DCS
  std::optional<Concatenation> concat;  // none: a single message
};

// What GetDeliveryReport read, handed to the receive hook before the report is deleted.
struct ReceivedReport {
  int index = 0;      // status-report storage index
  int reference = 0;  // TP-MR of the message reported on, 0-255
  std::string recipient;
  // The time stamps as the modem listed them, date, time and zone ("24/01/02,10:11:12+04").
  std::string submitted, discharged;
  int status = 0;  // the raw TP-ST, 0-255 (0 delivered, 32-63 still trying, 64-127 failed)
};

// A stored entry that could not be taken as a message or report: what the modem listed,
// kept so that a later version may still decode it.
struct UndecodableEntry {
  std::string memory;  // "SM" messages, "SR" status reports
  int index = -1;      // -1: the listing's index could not be read
  std::string raw;     // the PDU or report line as listed (the first 1024 bytes of a longer one)
  std::string error;   // why it could not be taken
};

// Called after decoding and before deleting. Returning false or throwing means the
// message or report was not taken: it stays stored and the call returns false. Any may
// be empty.
struct ReceiveHook {
  std::function<bool(const ReceivedMessage&)> message{};
  std::function<bool(const ReceivedReport&)> report{};
  // An entry TakeMessages cannot decode, or a report GetDeliveryReport cannot cut or hand
  // over: true deletes it from the modem (the hook has kept it), false leaves it stored.
  std::function<bool(const UndecodableEntry&)> undecodable{};
  // A listing line TakeMessages passed over (an index that is not a number in the
  // storage's range, junk), in words, for a warning.
  std::function<void(const std::string&)> skipped{};
};

// What TakeMessages did.
struct TakeResult {
  int taken = 0;          // handed to the hook and deleted
  int undecodable = 0;    // handed to the undecodable hook (deleted when it said so)
  int left = 0;           // entries left stored: declined, not decodable, not deletable
  bool stuck = false;     // the modem refused to delete an entry handed over
  bool unlisted = false;  // the modem refused to select or list its storage, or did not answer
};

// What became of one part of a SendText or SendLongUnicode.
struct PartAnswer {
  enum class Kind {
    Taken,       // the modem took it
    Refused,     // the modem said no, or gave no prompt: the part did not go
    Unanswered,  // no final answer in time: it may have gone
  };
  Kind kind = Kind::Taken;
  int reference = -1;  // Taken: its TP-MR, -1 when the answer named none
  std::string reply;   // Refused: what the modem answered
};

// Follows a SendText or SendLongUnicode part by part, so that each step can be recorded
// before the next one. `writing` runs once the prompt came and before the part's PDU is
// written: throwing from it cancels the prompt, so nothing of that part goes out, and the
// send ends with that error. `answered` runs when the modem answered the part or did not
// within body_limit seconds. `skip`, when set, is asked before each part: a part it
// answers true for is not sent at all (it went on an earlier try; the parts keep their
// numbers and reference) and gets no `writing` or `answered`; asked true for every part
// left, it ends the send there, as a drain between two parts.
struct SendWatch {
  std::function<void(int part, int total)> writing{};
  std::function<void(int part, const PartAnswer& answer)> answered{};
  std::int16_t body_limit = 12;
  std::function<bool(int part)> skip{};
};

// A notice the modem sent unasked about a message or status report (TS 27.005 3.4.1),
// heard while the library waited for an answer or before it wrote a command. Other
// unsolicited codes (RING, signal and cell reports, start-up greetings) are not kept.
struct Notice {
  enum class Kind : std::int32_t {
    MessageStored = 0,  // +CMTI: a message was stored at memory, index
    ReportStored = 1,   // +CDSI: a status report was stored at memory, index
    Message = 2,        // +CMT: a message handed over without storing it; data carries it
    Report = 3,         // +CDS: a status report handed over; data carries it in PDU mode
  };
  Kind kind = Kind::MessageStored;
  std::string memory{};  // the stored kinds: "SM", "ME", "SR", ... as the modem named it
  int index = -1;        // the stored kinds: where; -1 when the line named no number
  std::string line{};    // the notice line as it came, without its CR LF
  std::string data{};    // the line that followed a +CMT or a PDU-mode +CDS (hex PDU)

  bool operator==(const Notice&) const = default;
};

enum class SendCoding : std::int32_t { Auto = 0, Gsm7 = 1, Ucs2 = 2 };

// Why the last InitModem of an object did not end in OK.
enum class StartReason : std::int32_t {
  NoFailure = 0,         // it ended in OK, or none has run
  InvalidPort = 1,       // a port number below 1
  NoDevice = 2,          // the port leads to no device
  NotSerial = 3,         // the device is not a serial port
  PermissionDenied = 4,  // the user may not open the device
  OpenHere = 5,          // this process has the port open already
  Busy = 6,              // another program holds the port (holder_pid when known)
  ExclusiveFlag = 7,     // held exclusively with no holder in sight: possibly left by a
                         // program that was killed; only root can open or clear it
  NoAnswer = 8,          // no answer to "AT" at any speed tried
  PINRequired = 9,       // the SIM errors, as the ModemStatus of the same name
  PINWrong = 10,
  SIMBlocked = 11,
  SIMError = 12,
  Refused = 13,     // a later step was refused or not answered (detail names it)
  PortFailed = 14,  // the port failed during the start-up (it went away, say)
};

// What the last InitModem of an object found. Filled by every call, OK or not.
struct StartReport {
  ModemStatus status = ModemStatus::Fail;
  StartReason reason = StartReason::NoFailure;
  std::string device{};             // where the port led, links resolved; empty if not that far
  std::string detail{};             // why, in a line for a person, with what to do where known
  int holder_pid = 0;               // Busy: the process that holds the port, 0 when unknown
  std::vector<int> speeds_tried{};  // bit/s of each probe, in order
  int error = 0;                    // the run-time error behind a failure, 0 for none
  std::string notice{};             // something done that the user should hear of even after
                                    // OK: a port taken over from a program that is gone
};

// InitModem's steps as they happen, for a program that shows them: speed is the line speed
// about to be tried (0 for none), notice what StartReport::notice gets.
struct StartStep {
  int speed = 0;
  std::string notice{};
};

class SELVARN_API SMS {
 public:
  SMS() = default;
  // Unloads the thread's serial-port host: the port closes for every SMS object of the
  // thread, which then need InitModem again.
  ~SMS();
  SMS(const SMS&) = delete;
  SMS& operator=(const SMS&) = delete;

  // Properties: stored and handed back exactly as given (UTF-8).
  const std::string& IDD() const { return idd_; }
  void IDD(std::string v) { idd_ = std::move(v); }
  const std::string& MN() const { return mn_; }
  void MN(std::string v) { mn_ = std::move(v); }
  const std::string& Msg() const { return msg_; }
  void Msg(std::string v) { msg_ = std::move(v); }
  const std::string& SMSC() const { return smsc_; }
  void SMSC(std::string v) { smsc_ = std::move(v); }
  const std::string& MR() const { return mr_; }
  void MR(std::string v) { mr_ = std::move(v); }
  const std::string& SCTS() const { return scts_; }
  void SCTS(std::string v) { scts_ = std::move(v); }
  const std::string& DRMsgRef() const { return dr_msg_ref_; }
  void DRMsgRef(std::string v) { dr_msg_ref_ = std::move(v); }
  const std::string& DRMNRecipient() const { return dr_mn_recipient_; }
  void DRMNRecipient(std::string v) { dr_mn_recipient_ = std::move(v); }
  const std::string& DRRTime() const { return dr_r_time_; }
  void DRRTime(std::string v) { dr_r_time_ = std::move(v); }
  const std::string& DRRDate() const { return dr_r_date_; }
  void DRRDate(std::string v) { dr_r_date_ = std::move(v); }
  const std::string& DRFTime() const { return dr_f_time_; }
  void DRFTime(std::string v) { dr_f_time_ = std::move(v); }
  const std::string& DRFDate() const { return dr_f_date_; }
  void DRFDate(std::string v) { dr_f_date_ = std::move(v); }

  // DRStatus is kept as text like the others. The get converts it back and throws
  // RuntimeError 13 (type mismatch) when the text is empty or not a number, 6 when the
  // number does not fit 32 bits.
  DeliveryStatus DRStatus() const;
  void DRStatus(std::int32_t v);
  void DRStatus(DeliveryStatus v) { DRStatus(static_cast<std::int32_t>(v)); }
  // The stored text itself (for the automation layer and diagnostics).
  const std::string& DRStatusText() const { return dr_status_; }

  // Opens port intPort, finds the speed the modem answers at (115200, then 9600), enters
  // the SIM PIN when the SIM asks for one, waits for the SMS service, checks the signal and
  // leaves the modem in PDU mode with the port open (OK). Every other outcome closes the
  // port. A PIN is 4 to 8 digits 0-9; anything else is never sent and gives PINWrong. Never
  // throws. Calling it while the port is open fails and closes the port.
  ModemStatus InitModem(std::int16_t intPort, std::string PIN = "");

  // Asks the modem whether it is registered on a network (home or roaming). An error or
  // no answer closes the port; a closed port gives false. Never throws.
  bool ConnectToGSM();
  // Closes the port; closing a closed port is fine. True when it is closed afterwards.
  bool CloseModem();

  // Sends one message in the GSM 7-bit alphabet (SendSMST, up to 160 characters) or in
  // UCS2 (SendSMSU, up to 70). The number loses "+" and "-", and one beginning "01" gets
  // "6" in front; a number written with a leading "+" goes out as an international number.
  // After DeliveryReportOn the message asks for a status report. True when the modem took
  // it; MR then holds the reference it gave, followed by the line breaks of its answer
  // ("12\r\n\r\n"), and is unchanged when the answer names none. A closed port, a refusal or
  // no answer gives false; a prompt that does not come is cancelled with ESC. Throws
  // RuntimeError 5 for a number that is not digits or a text too long for one message, and
  // 8010 at once when the modem goes away (as every call does that does not trap errors).
  bool SendSMST(std::string Number, std::string MessageText);
  bool SendSMSU(std::string Number, std::string MessageUnicode);

  // Sends a text of any length as a concatenated message in the GSM 7-bit alphabet: parts
  // of at most 153 septets (an extension character takes two and is never split), each
  // logged ("Message Part: ...") just before it is built, each asking for a status report,
  // all with concatenation reference intMessageReference (0-255). strMobileNumber is digits
  // after an optional "+" (international), used as given. True when every part was taken;
  // MR then holds the last part's reference. False at the first part refused by the builder
  // (a bad number or reference) or by the modem; the parts before it stay sent. Throws
  // RuntimeError 5 for an empty text and 6 for one needing more than 215 parts, before
  // anything is logged or sent; a closed port throws at the first part's command. None of
  // the arguments is changed.
  bool SendLMSText(std::string& strMobileNumber, std::string& strMessage,
                   std::int16_t& intMessageReference);

  // Switch status reports on or off (AT+CNMI and AT+CSMP). True when the modem took both
  // commands. A failed DeliveryReportOn leaves later sends without a report request; a
  // failed DeliveryReportOff leaves the request as it was. A closed port gives false.
  bool DeliveryReportOn();
  bool DeliveryReportOff();

  // Reads the first message in the SIM's storage into SMSC, MN, SCTS and Msg and deletes
  // it. True when it was read and deleted; false when there is none, the port is closed or
  // the modem refuses a step (a refused deletion leaves the message stored and the
  // properties set). A stored message that cannot be decoded throws RuntimeError 5 and
  // stays on the SIM; later calls on the thread pass over it to the messages behind it.
  // A listing too malformed to cut throws 5, 6 or 13; one that does not end within its
  // 60 s throws 57; a modem that goes away ends the call at once with 8010.
  bool ReadSMS();

  // Reads the first stored status report into DRMsgRef, DRMNRecipient, DRRDate, DRRTime,
  // DRFDate, DRFTime and DRStatus (0 Delivered, 48 Undelivered, anything else Unknown) and
  // deletes it. The modem is in text mode with the report storage selected only for the
  // call. True when a report was read and the SIM storage selected again; false otherwise,
  // the port closed included. Never throws.
  bool GetDeliveryReport();

  // ---- Beyond the automation interface ----

  // Sets this object's receive hook (see ReceiveHook); an empty one restores the
  // behaviour above. With a message hook, ReadSMS lets an exception of the hook through,
  // the message left stored; GetDeliveryReport never throws and returns false.
  // A report whose reference or status is not a number 0-255 is not handed to a report
  // hook: the call returns false and the report stays stored.
  void SetReceiveHook(ReceiveHook hook);
  // The concatenation element of the message the last decoding ReadSMS put into Msg;
  // nullopt for a single message and before any message was read.
  const std::optional<Concatenation>& ReadConcatenation() const;

  // Sends a text of any length as a concatenated message in UCS2: parts of at most 67
  // UTF-16 units, a surrogate pair never split, 8-bit concatenation reference `reference`
  // (a text of up to 67 units is still one part with the header). Each part is logged
  // ("Message Part: ...") before it is built and asks for a status report; between the
  // parts of a message of two or more the link is held open (AT+CMMS=1, the setting put
  // back afterwards). True when every part was taken; SentReferences then holds their
  // TP-MR and MR the last one's reference as the other sends leave it. False with the
  // port closed (nothing sent) and at the first part refused or not answered (the parts
  // before it stay sent). Throws RuntimeError 5 before anything is sent for a number that
  // is not 1-20 digits after an optional "+" (used as given, never rewritten), an empty
  // text or a reference outside 0-255, and 6 for a text needing more than 255 parts.
  bool SendLongUnicode(const std::string& number, const std::string& text, int reference);
  // Sends a text in the coding asked for: Auto takes the GSM 7-bit alphabet when every
  // character is in it or its extension table (those count two septets), else UCS2;
  // Gsm7 sends what the alphabet lacks as "?"; Ucs2 sends any text. One message when it
  // fits (160 septets, 70 UTF-16 units), else a concatenated one of 153 septets or 67
  // units per part with reference `reference`, sent and logged as SendLongUnicode does.
  // Every part asks for a status report when `report` is true, whatever
  // DeliveryReportOn/Off said, and none when it is false. Results and errors as
  // SendLongUnicode.
  bool SendText(const std::string& number, const std::string& text, int reference,
                SendCoding coding = SendCoding::Auto, bool report = true);
  // The TP-MR of each part the last SendLongUnicode or SendText got taken, in order
  // (-1 for a part whose answer named none). Emptied when such a send starts.
  const std::vector<int>& SentReferences() const;
  // Called by those sends after each part taken: (parts taken so far, parts in all).
  void SetSendProgress(std::function<void(int taken, int total)> progress);
  // Follows those sends part by part (see SendWatch); an empty one restores the default.
  void SetSendWatch(SendWatch watch);

  // Takes the messages the SIM holds: selects it, lists every entry once (a listing of any
  // size, read line by line) and, for each in turn, decodes the listed PDU, hands it to the
  // receive hook's message and deletes it when the hook took it. An entry that cannot be
  // decoded, or whose line is too long to be a PDU, goes to the hook's undecodable; one
  // whose index is not a number within the storage's size, and lines that belong to no
  // entry, are passed over and told to its skipped. `stop`, when set, is asked after each
  // entry taken: true ends the pass there. Without a message hook, throws RuntimeError 5.
  // A closed port or a refused listing takes nothing.
  TakeResult TakeMessages(const std::function<bool()>& stop = {});

  // The notices heard on this thread's port since the last call, oldest first; the queue
  // is emptied. All objects of a thread share it, and each InitModem starts it afresh. It
  // keeps the latest 1000: a program that never asks loses the oldest, not its memory.
  std::vector<Notice> TakeNotices();

  // What the last InitModem of this object found, and why it failed when it did. The
  // ModemStatus it returned stays as documented; this only explains it.
  const StartReport& LastStart() const { return last_start_; }
  // Called during InitModem with each step worth showing (see StartStep).
  void SetStartProgress(std::function<void(const StartStep&)> progress);

 private:
  // Selects the SIM storage and lists it; the index of the first message to read, nullopt
  // when there is none or the modem refused a step (index 0 is a message like any other).
  // Messages this thread could not decode are passed over. `listed` gets the entry's PDU.
  std::optional<std::int16_t> GetSMSIndex(std::string* listed = nullptr);

  std::string idd_, mn_, msg_, smsc_, mr_, scts_;
  std::string dr_msg_ref_, dr_mn_recipient_, dr_r_time_, dr_r_date_, dr_f_time_, dr_f_date_;
  std::string dr_status_;
  // Set by the delivery report switch, read by the short-message sends.
  bool DeliveryReportRequested = false;

  bool SendExtension(const std::string& number, const std::string& text, int reference,
                     SendCoding coding, bool always_long, bool report);

  ReceiveHook receive_hook_;
  std::optional<Concatenation> read_concatenation_;
  std::vector<int> sent_references_;
  std::function<void(int, int)> send_progress_;
  SendWatch send_watch_;
  StartReport last_start_;
  std::function<void(const StartStep&)> start_progress_;
};

}  // namespace selvarn
