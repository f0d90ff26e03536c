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

MODULE_FOLDER = os.path.dirname(os.path.abspath(selvarn_sms.__file__))


class Simulator:
    """selvarn-modemsim on a fresh port folder; stop() gives what the library wrote."""

    def __init__(self, *flags):
        self.folder = tempfile.mkdtemp(prefix="selvarn-py-ports-")
        os.environ["SELVARN_SMS_PORTS"] = self.folder
        self.process = subprocess.Popen(
            [os.environ["SELVARN_MODEMSIM"], "--ports", self.folder, "--transcript", *flags],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = int(self.process.stdout.readline().split()[1])

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)
        return "".join(line.split(" ms host  ", 1)[1] for line in out.splitlines()
                       if " ms host  " in line)


class TypeLibrary(unittest.TestCase):
    def test_members_carry_their_help_and_signatures(self):
        self.assertEqual(SMS.SCTS.__doc__,
                         "SMSC (SMS Centre) time stamp \u2013 time of the message received by SMSC.")
        self.assertEqual(SMS.CloseModem.__doc__, "To close the connection to modem.\r\n"
                         "Retrun value is:\r\n= TRUE;  if ok, else\r\n= FALSE \r\n")
        self.assertIsNone(SMS.SendLMSText.__doc__)
        self.assertEqual(str(inspect.signature(SMS.InitModem)), "(self, intPort, PIN=None)")
        self.assertEqual(str(inspect.signature(SMS.SendLMSText)),
                         "(self, strMobileNumber, strMessage, intMessageReference)")
        self.assertEqual([(m.name, m.value) for m in ModemStatus],
                         [("Fail", 0), ("OK", 1), ("PINRequired", 2), ("PINWrong", 3),
                          ("SIMBlocked", 4), ("SIMError", 5)])
        self.assertEqual([(m.name, m.value) for m in DeliveryStatus],
                         [("Undelivered", 0), ("Delivered", 1), ("Unknown", 2)])


class Properties(unittest.TestCase):
    TEXT = ["DRFDate", "DRFTime", "DRRDate", "DRRTime", "DRMNRecipient", "DRMsgRef", "SCTS",
            "MR", "SMSC", "Msg", "MN", "IDD"]

    def test_text_is_kept_exactly_and_each_property_apart(self):
        sms = SMS()
        for name in self.TEXT:
            self.assertEqual(getattr(sms, name), "")
            setattr(sms, name, f"{name} Grüße \u20ac \U0001F600\r\n")
        for name in self.TEXT:
            self.assertEqual(getattr(sms, name), f"{name} Grüße \u20ac \U0001F600\r\n")

    def test_delivery_status_is_text_that_converts_back(self):
        sms = SMS()
        with self.assertRaises(SMSError) as caught:
            sms.DRStatus
        self.assertEqual(caught.exception.number, 13)
        sms.DRStatus = DeliveryStatus.Unknown
        self.assertIs(sms.DRStatus, DeliveryStatus.Unknown)
        sms.DRStatus = "1"
        self.assertIs(sms.DRStatus, DeliveryStatus.Delivered)
        sms.DRStatus = 7
        self.assertEqual(sms.DRStatus, 7)

    def test_bad_values_are_errors_with_their_numbers(self):
        sms = SMS()
        cases = [
            (lambda: setattr(sms, "MN", b"caf\xe9"), 5),
            (lambda: setattr(sms, "MN", "\ud800"), 5),
            (lambda: setattr(sms, "MN", "a\0b"), 5),
            (lambda: setattr(sms, "MN", 1.5), 13),
            (lambda: setattr(sms, "DRStatus", "two"), 13),
            (lambda: setattr(sms, "DRStatus", 2**31), 6),
            (lambda: sms.InitModem(70000), 6),
            (lambda: sms.InitModem(-32769), 6),
            (lambda: sms.InitModem("COM1"), 13),
            (lambda: sms.InitModem(None, "1234"), 449),
            (lambda: sms.InitModem(), 450),
            (lambda: sms.ConnectToGSM(1), 450),
        ]
        for call, number in cases:
            with self.assertRaises(SMSError) as caught:
                call()
            self.assertEqual(caught.exception.number, number, caught.exception)
        self.assertEqual(sms.MN, "", "a refused value leaves the property as it was")
        with self.assertRaises(TypeError):
            sms.InitModem(1, pin="1234", port=2)


class Modem(unittest.TestCase):
    def test_methods_drive_the_modem(self):
        sim = Simulator()
        try:
            sms, other = SMS(), SMS()
            self.assertIs(sms.InitModem(intPort=sim.port, PIN=None), ModemStatus.OK)
            self.assertIs(sms.ConnectToGSM(), True)
            self.assertIs(other.ConnectToGSM(), True)
            del sms  # the last reference: the thread's port closes
            self.assertIs(other.ConnectToGSM(), False)
            self.assertIs(other.CloseModem(), True)
        finally:
            written = sim.stop()
        self.assertEqual(written, "AT<CR>AT+CPIN?<CR>AT+CSMS=0<CR>AT+CSQ<CR>AT+CSDH=1<CR>"
                         "AT+CMGF=0<CR><CR>AT+CREG?<CR>AT+CREG?<CR>")


    def test_messages_go_round_the_network(self):
        sim = Simulator()
        own = "+447700900123"  # the simulator's own number: what it is sent comes back
        try:
            sms = SMS()
            self.assertIs(sms.InitModem(sim.port), ModemStatus.OK)
            self.assertIs(sms.DeliveryReportOn(), True)
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
            self.assertIs(sms.GetDeliveryReport(), True)
            self.assertIs(sms.DRStatus, DeliveryStatus.Delivered)
            self.assertIs(sms.DeliveryReportOff(), True)
            self.assertIs(sms.CloseModem(), True)
            self.assertIs(sms.ReadSMS(), False)
        finally:
            sim.stop()


class Finding(unittest.TestCase):
    """The module looks for the library in the environment, beside itself, then in the
    registry that DllRegisterServer writes."""

    def run_python(self, code, config):
        env = {k: v for k, v in os.environ.items() if k != "SELVARN_SMS_LIBRARY"}
        env.update(XDG_CONFIG_HOME=config, PYTHONPATH=MODULE_FOLDER)
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=60)

    def test_creation_through_the_registry(self):
        library = os.path.realpath(os.environ["SELVARN_SMS_LIBRARY"])
        config = tempfile.mkdtemp(prefix="selvarn-py-config-")
        try:
            use = ("import selvarn_sms; s = selvarn_sms.SMS(); s.MN = 'x'; "
                   "print(selvarn_sms.library_path, s.MN)")
            before = self.run_python(use, config)
            self.assertNotEqual(before.returncode, 0)
            self.assertIn("SELVARN_SMS_LIBRARY", before.stderr)
            self.assertEqual(self.run_python(
                f"import ctypes; exit(ctypes.CDLL({library!r}).DllRegisterServer())",
                config).returncode, 0)
            with open(os.path.join(config, "selvarn-sms", "registry.json")) as f:
                self.assertEqual(json.load(f)["SelvarnSMSAPI6.SMS"]["library"], library)
            after = self.run_python(use, config)
            self.assertEqual(after.stdout, f"{library} x\n", after.stderr)
            self.assertEqual(self.run_python(
                f"import ctypes; exit(ctypes.CDLL({library!r}).DllUnregisterServer())",
                config).returncode, 0)
            self.assertNotEqual(self.run_python(use, config).returncode, 0)
        finally:
            shutil.rmtree(config, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
