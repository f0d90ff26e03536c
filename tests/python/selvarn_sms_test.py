"""The Python module end to end: the shared library ($SELVARN_SMS_LIBRARY) and the
simulator program ($SELVARN_MODEMSIM) on a private port folder."""

import inspect
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import selvarn_sms
from selvarn_sms import SMS, SMSError, DeliveryStatus, ModemStatus


class Module(unittest.TestCase):
    def test_members_come_from_the_type_library(self):
        # Help text crosses the C boundary as UTF-8; an empty help string is no docstring.
        self.assertEqual(SMS.SCTS.__doc__,
                         "SMSC (SMS Centre) time stamp \u2013 time of the message received by SMSC.")
        self.assertIsNone(SMS.SendLMSText.__doc__)
        self.assertEqual(str(inspect.signature(SMS.InitModem)), "(self, intPort, PIN=None)")
        self.assertEqual((ModemStatus.PINWrong, DeliveryStatus(2).name), (3, "Unknown"))

    def test_properties_keep_text_and_refuse_bad_values(self):
        sms = SMS()
        names = [n for n in dir(SMS) if isinstance(getattr(SMS, n), property) and n != "DRStatus"]
        self.assertEqual(len(names), 12)
        for name in names:
            self.assertEqual(getattr(sms, name), "")
            setattr(sms, name, f"{name} Grüße \u20ac \U0001F600\r\n")
        for name in names:
            self.assertEqual(getattr(sms, name), f"{name} Grüße \u20ac \U0001F600\r\n")
        sms.DRStatus = "1"
        self.assertIs(sms.DRStatus, DeliveryStatus.Delivered)
        sms.DRStatus = 7
        self.assertEqual(sms.DRStatus, 7)
        cases = [(lambda: setattr(sms, "MN", b"caf\xe9"), 5), (lambda: setattr(sms, "MN", "\ud800"), 5),
                 (lambda: setattr(sms, "MN", "a\0b"), 5), (lambda: setattr(sms, "MN", 1.5), 13),
                 (lambda: setattr(sms, "DRStatus", 2**31), 6), (lambda: SMS().DRStatus, 13),
                 (lambda: sms.InitModem(None, "1234"), 449), (lambda: sms.ConnectToGSM(1), 450)]
        for call, number in cases:
            with self.assertRaises(SMSError) as caught:
                call()
            self.assertEqual(caught.exception.number, number, caught.exception)
        self.assertEqual(sms.MN, "MN Grüße \u20ac \U0001F600\r\n", "a refused value changes nothing")
        with self.assertRaises(TypeError):
            sms.InitModem(1, pin="1234", port=2)

    def test_messages_go_round_the_network(self):
        folder = tempfile.mkdtemp(prefix="selvarn-py-ports-")
        os.environ["SELVARN_SMS_PORTS"] = folder
        sim = subprocess.Popen([os.environ["SELVARN_MODEMSIM"], "--ports", folder, "--transcript"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        own = "+447700900123"  # the simulator's own number: what it is sent comes back
        try:
            sms, other = SMS(), SMS()
            self.assertIs(sms.InitModem(intPort=int(sim.stdout.readline().split()[1])),
                          ModemStatus.OK)
            self.assertIs(sms.SendSMSU(own, "Grüße ✓"), True)
            self.assertIs(sms.SendLMSText(own, "y" * 160, 7), True)
            with self.assertRaises(SMSError) as caught:
                sms.SendSMST("not a number", "hi")
            self.assertEqual(caught.exception.number, 5)
            texts = []
            for _ in range(50):
                while sms.ReadSMS():
                    texts.append((sms.MN, sms.Msg))
                if len(texts) == 3:
                    break
                time.sleep(0.1)
            self.assertEqual(texts, [(own, "Grüße ✓"), (own, "y" * 153), (own, "y" * 7)])
            self.assertIs(other.ConnectToGSM(), True)
            del sms  # the last reference: the thread's port closes
            self.assertIs(other.ConnectToGSM(), False)
        finally:
            sim.send_signal(signal.SIGTERM)
            out, _ = sim.communicate(timeout=10)
            shutil.rmtree(folder, ignore_errors=True)
        written = "".join(line.split(" ms host  ", 1)[1] for line in out.splitlines()
                          if " ms host  " in line)
        self.assertTrue(written.startswith("AT<CR>AT+CPIN?<CR>AT+CSMS=0<CR>AT+CSQ<CR>AT+CSDH=1<CR>"
                                           "AT+CMGF=0<CR><CR>AT+CMGS=28<CR><CR>"), written)
        self.assertTrue(written.endswith("AT+CREG?<CR>"), written)

    def test_creation_through_the_registry(self):
        """Without $SELVARN_SMS_LIBRARY the module finds the library DllRegisterServer
        recorded, and fails clearly once it is unregistered."""
        library = os.path.realpath(os.environ["SELVARN_SMS_LIBRARY"])
        config = tempfile.mkdtemp(prefix="selvarn-py-config-")
        env = {k: v for k, v in os.environ.items() if k != "SELVARN_SMS_LIBRARY"}
        env.update(XDG_CONFIG_HOME=config,
                   PYTHONPATH=os.path.dirname(os.path.abspath(selvarn_sms.__file__)))

        def run(code):
            return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                  text=True, timeout=60)
        use = "import selvarn_sms as m; s = m.SMS(); s.MN = 'x'; print(m.library_path, s.MN)"
        try:
            self.assertIn("SELVARN_SMS_LIBRARY", run(use).stderr)
            for entry, expected in (("DllRegisterServer", f"{library} x\n"),
                                    ("DllUnregisterServer", "")):
                self.assertEqual(
                    run(f"import ctypes; exit(ctypes.CDLL({library!r}).{entry}())").returncode, 0)
                self.assertEqual(run(use).stdout, expected)
            with open(os.path.join(config, "selvarn-sms", "registry.json")) as f:
                self.assertEqual(json.load(f), {})
        finally:
            shutil.rmtree(config, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
