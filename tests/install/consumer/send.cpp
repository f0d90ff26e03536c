// A user's program against the installed library: sends TEXT to NUMBER through the modem
// on port 1, as a long message when it is longer than one, and prints how it went with the
// version of the library it ran with.
#include <selvarn/sms.hpp>

#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: send NUMBER TEXT\n", stderr);
    return 2;
  }
  selvarn::SMS sms;
  if (sms.InitModem(1) != selvarn::ModemStatus::OK) {
    std::puts("the modem on port 1 did not start");
    return 1;
  }
  std::string number = argv[1], text = argv[2];
  std::int16_t reference = 7;
  const bool sent =
      text.size() > 160 ? sms.SendLMSText(number, text, reference) : sms.SendSMST(number, text);
  sms.CloseModem();
  std::printf("%s %s\n", selvarn::LibraryVersion(), sent ? "sent" : "not sent");
  return sent ? 0 : 1;
}
