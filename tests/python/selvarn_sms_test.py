"""The Python module end to end: the shared library ($SELVARN_SMS_LIBRARY) and the
simulator program ($SELVARN_MODEMSIM) on a private port folder."""

import inspect, json, os, shutil, signal, subprocess, sys, tempfile, threading, time, unittest

import selvarn_sms
from selvarn_sms import SMS, SMSError, DeliveryStatus, ModemStatus, NoticeKind, StartReason
from selvarn_sms import Coding, DeliveryState, Gateway, Refused, SendCoding, SendState, Service


class Module(unittest.TestCase):
    def test_members_and_properties(self):
        # Help crosses the C boundary as UTF-8; an empty help string is no docstring.
        self.assertIn("\u2013", SMS.SCTS.__doc__)
        self.assertIsNone(SMS.SendLMSText.__doc__)
        self.assertEqual(str(inspect.signature(SMS.InitModem)), "(self, intPort, PIN=None)")
        sms, text = SMS(), "Grüße \U0001F600\r\n"
        names = [n for n in dir(SMS) if isinstance(getattr(SMS, n), property) and n != "DRStatus"]
        self.assertEqual([getattr(sms, n) for n in names], [""] * 12)
        for name in names:
            setattr(sms, name, name + text)
        self.assertEqual([getattr(sms, n) for n in names], [n + text for n in names])
        sms.DRStatus = "1"
        self.assertIs(sms.DRStatus, DeliveryStatus.Delivered)
        sms.DRStatus = 7
        self.assertEqual(sms.DRStatus, 7)
        for call, number in [(lambda: setattr(sms, "MN", b"caf\xe9"), 5), (lambda: SMS().DRStatus, 13),
                             (lambda: setattr(sms, "MN", "\ud800"), 5), (lambda: setattr(sms, "MN", "a\0b"), 5),
                             (lambda: setattr(sms, "MN", 1.5), 13), (lambda: setattr(sms, "DRStatus", 2**31), 6),
                             (lambda: sms.InitModem(None, "1234"), 449), (lambda: sms.ConnectToGSM(1), 450)]:
            with self.assertRaises(SMSError) as caught:
                call()
            self.assertEqual(caught.exception.number, number, caught.exception)
        self.assertEqual(sms.MN, "MN" + text, "a refused value changes nothing")
        with self.assertRaises(TypeError):
            sms.InitModem(1, pin="1234", port=2)

    def test_every_method_round_the_network(self):
        # Through the module, the C interface and dispatch; what the simulator's own number is sent comes back.
        folder = tempfile.mkdtemp(prefix="selvarn-py-ports-")
        os.environ["SELVARN_SMS_PORTS"] = folder
        os.environ["SELVARN_SMS_LOG_DIR"] = folder  # the long message's parts are logged
        sim = subprocess.Popen([os.environ["SELVARN_MODEMSIM"], "--ports", folder, "--sim", "pin"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        own, texts = "+447700900123", []
        try:
            sms, other = SMS(), SMS()
            port = int(sim.stdout.readline().split()[1])
            self.assertIs(sms.InitModem(intPort=port), ModemStatus.PINRequired)
            self.assertIs(sms.InitModem(port, "1234"), ModemStatus.OK)
            report = sms.LastStart()
            self.assertEqual((report.reason, report.speeds_tried, report.detail, report.error),
                             (StartReason.NoFailure, [115200], "", 0))
            self.assertIs(sms.DeliveryReportOn(), True)
            self.assertIs(sms.SendSMSU(own, "Grüße ✓"), True)
            self.assertIs(sms.SendSMST(own, "hi"), True)
            self.assertIs(sms.SendLMSText(own, "y" * 160, 7), True)
            with self.assertRaises(SMSError) as caught:
                sms.SendSMST("not a number", "hi")
            self.assertEqual(caught.exception.number, 5)
            for _ in range(50):
                while sms.ReadSMS():
                    texts.append((sms.MN, sms.Msg))
                if len(texts) == 4 and sms.GetDeliveryReport():
                    break
                time.sleep(0.1)
            self.assertEqual(texts, [(own, "Grüße ✓"), (own, "hi"), (own, "y" * 153), (own, "y" * 7)])
            self.assertIs(sms.DRStatus, DeliveryStatus.Delivered)
            # The report read was announced, and heard by the commands that followed.
            notices = sms.TakeNotices()
            self.assertTrue(notices)
            self.assertEqual({(n.kind, n.memory, n.line[:7], n.data) for n in notices},
                             {(NoticeKind.ReportStored, "SR", "+CDSI: ", "")})
            self.assertEqual(sms.TakeNotices(), [])
            self.assertIs(sms.DeliveryReportOff(), True)
            self.assertIs(other.ConnectToGSM(), True)  # the port both objects share
            del sms  # the last reference: the thread's port closes
            self.assertIs(other.ConnectToGSM(), False)
            self.assertIs(other.CloseModem(), True)
            # The ends of the port range are tried, not refused; the report says why they failed.
            for end, reason, device in ((32767, StartReason.NoDevice, "/dev/ttyS32766"),
                                        (-32768, StartReason.InvalidPort, "")):
                self.assertIs(other.InitModem(end), ModemStatus.Fail)
                report = other.LastStart()
                self.assertEqual((report.status, report.reason, report.device, report.holder_pid),
                                 (ModemStatus.Fail, reason, device, 0))
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.communicate(timeout=10)
            shutil.rmtree(folder, ignore_errors=True)

    def test_found_through_the_registry(self):
        # Without $SELVARN_SMS_LIBRARY: the library DllRegisterServer recorded, else the one
        # installed on this machine (by its soname), else a clear error.
        library = os.path.realpath(os.environ["SELVARN_SMS_LIBRARY"])
        env = {k: v for k, v in os.environ.items() if k != "SELVARN_SMS_LIBRARY"}
        env.update(XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="selvarn-py-config-"),
                   PYTHONPATH=os.path.dirname(os.path.abspath(selvarn_sms.__file__)))

        def run(entry):
            code = (f"import ctypes; ctypes.CDLL({library!r}).{entry}()\n" if entry else "") + \
                "import selvarn_sms as m; s = m.SMS(); s.MN = 'x'; print(m.library_path, s.MN)"
            return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                  text=True, timeout=60)
        installed = subprocess.run([sys.executable, "-c", f"import ctypes; ctypes.CDLL({selvarn_sms.SONAME!r})"],
                                   env=env, capture_output=True).returncode == 0

        def expect_unregistered():
            done = run(None)
            if installed:
                self.assertEqual(done.stdout, f"{selvarn_sms.SONAME} x\n")
            else:
                self.assertIn("SELVARN_SMS_LIBRARY", done.stderr)
        try:
            expect_unregistered()
            self.assertEqual(run("DllRegisterServer").stdout, f"{library} x\n")
            run("DllUnregisterServer")
            expect_unregistered()
        finally:
            shutil.rmtree(env["XDG_CONFIG_HOME"], ignore_errors=True)



class GatewayCalls(unittest.TestCase):
    """The modem session through the module, on the simulator's device path; what is sent to
    the simulator's own number comes back."""
    own = "+447700900123"

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="selvarn-py-gw-")
        self.sim = subprocess.Popen([os.environ["SELVARN_MODEMSIM"], "--ports", self.folder, "--do",
                                     "message from +447700900001 text Hello"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        port = int(self.sim.stdout.readline().split()[1])
        self.store = os.path.join(self.folder, "messages.db")
        self.gw = Gateway(device=os.path.join(self.folder, f"com{port}"), store=self.store)

    def tearDown(self):
        self.gw.close_all()
        self.sim.send_signal(signal.SIGTERM)
        self.sim.communicate(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_send_take_and_the_records(self):
        gw = self.gw
        self.assertIs(gw.open(), ModemStatus.OK)
        self.assertTrue(gw.last_start().device.startswith("/dev/pts/"))
        for text, coding, want in [("Grüße", SendCoding.Auto, (SendCoding.Gsm7, [5], 0)),
                                   ("✓ ok", SendCoding.Gsm7, (SendCoding.Gsm7, [4], 1)),
                                   ("✓ ok", SendCoding.Auto, (SendCoding.Ucs2, [4], 0)),
                                   ("x" * 161, SendCoding.Auto, (SendCoding.Gsm7, [153, 8], 0))]:
            p = gw.plan(text, coding)
            self.assertEqual((p.coding, p.lengths, p.unmapped), want, text)
        for call, number in [(lambda: gw.send("not a number", "hi"), 5), (lambda: gw.send(self.own, ""), 5),
                             (lambda: gw.plan("hi", 7), 5), (lambda: gw.send(self.own, "a\0b"), 5),
                             (lambda: Gateway(store=self.store, sweep=0), 5),
                             (lambda: gw.send(self.own, "hi", reference=2**32 + 5), 6),
                             (lambda: gw.send(self.own, "hi", reference=256), 5),
                             (lambda: Gateway(store=self.store, port=40000), 6)]:
            with self.assertRaises(SMSError) as caught:
                call()
            self.assertEqual(caught.exception.number, number, caught.exception)
        steps = []
        sent = gw.send(self.own, "Grüße ✓", progress=lambda taken, total: steps.append((taken, total)))
        self.assertEqual((sent.coding, sent.error_number, steps), (Coding.Ucs2, 0, [(1, 1)]))
        self.assertEqual(sent.record.send_state, SendState.Sent)
        self.assertEqual([p.reference for p in sent.record.parts], sent.references)
        self.assertEqual(gw.sent(sent.id), sent.record)
        self.assertIsNone(gw.sent(sent.id + 1))
        # The report asked for: delivered.
        done = gw.wait_reports(sent.id, 10)
        self.assertEqual((done.state, [p.status for p in done.parts]), (DeliveryState.Delivered, [0]))
        self.assertGreaterEqual(done.parts[0].reported_at, done.sent_at)
        self.assertIsNone(gw.wait_reports(sent.id + 1, 0))
        self.assertEqual([(r.sent_id, r.sequence) for r in gw.reports()], [(sent.id, 1)])
        self.assertEqual([r.id for r in gw.outbox()], [sent.id])
        # The message waiting and the one come back, in one pass; each handed out once.
        texts = set()
        for _ in range(50):
            gw.take_all()
            texts = {(m.sender, m.text) for m in gw.new_messages()}
            if len(texts) == 2:
                break
            time.sleep(0.1)
        self.assertEqual(texts, {("+447700900001", "Hello"), (self.own, "Grüße ✓")})
        for m in gw.new_messages():
            self.assertEqual((gw.mark_handed_out(m.id), gw.mark_handed_out(m.id)), (True, False))
        self.assertEqual(gw.new_messages(), [])
        self.assertEqual([(bool(m.handed_out_at), m.total, m.present, m.reference, len(m.scts) > 0)
                          for m in gw.inbox()], [(True, 1, 1, None, True)] * 2)
        self.assertTrue(gw.registered())
        gw.close()
        self.assertFalse(gw.registered())
        self.assertEqual(len(gw.inbox()), 2, "the store outlives the modem")

    def test_watch_sends_what_is_queued(self):
        gw, texts, outcomes, arrived = self.gw, [], [], threading.Event()
        queued = gw.enqueue(self.own, "queued", report=False)
        self.assertEqual(gw.sent(queued).send_state, SendState.Queued)
        with self.assertRaises(SMSError) as caught:
            selvarn_sms.hand_to_watcher(self.store, self.own, "nobody watches")
        self.assertEqual(caught.exception.number, 8005)
        self.assertIs(gw.open(), ModemStatus.OK)

        def other_thread():  # hands a message over, then stops the watch once both are back
            handed.append(selvarn_sms.hand_to_watcher(self.store, self.own, "handed"))
            arrived.wait(20)
            gw.stop()
        handed = []
        helper = threading.Thread(target=other_thread)

        def on_message(m):
            texts.append(m.text)
            if sorted(texts) == ["Hello", "handed", "queued"]:  # what waited, and both back
                arrived.set()

        def on_sent(outcome):
            outcomes.append((outcome.id, outcome.record.send_state))
            if len(outcomes) == 1:
                helper.start()  # the watcher is up and listening
        gw.watch(on_message=on_message, on_sent=on_sent)
        helper.join()
        self.assertEqual(sorted(texts), ["Hello", "handed", "queued"])
        self.assertEqual(outcomes, [(queued, SendState.Sent), (handed[0], SendState.Sent)])
        # A callback that raises ends the watch with its exception.
        gw.enqueue(self.own, "again", report=False)

        def refuse(outcome):
            raise ValueError(outcome.record.text)
        with self.assertRaisesRegex(ValueError, "again"):
            gw.watch(on_sent=refuse)


class ServiceCalls(unittest.TestCase):
    """The gateway service through the module over one simulator."""

    def test_submit_send_and_what_arrives(self):
        folder = tempfile.mkdtemp(prefix="selvarn-py-svc-")
        sim = subprocess.Popen([os.environ["SELVARN_MODEMSIM"], "--ports", folder, "--transcript",
                                "--do", "message from +447700900001 text Hello"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        config = os.path.join(folder, "gateway.toml")
        posts = []
        try:
            port = int(sim.stdout.readline().split()[1])
            with open(config, "w") as f:
                f.write('[[modem]]\nname = "a b"\n')
            with self.assertRaises(SMSError) as caught:
                Service(config)
            self.assertEqual(caught.exception.number, 5)
            self.assertIn("gateway.toml:2:", caught.exception.description)
            with open(config, "w") as f:
                f.write(f'store = "{folder}/messages.db"\n[[modem]]\nname = "a"\n'
                        f'device = "{folder}/com{port}"\n[[received.webhook]]\n'
                        'url = "http://127.0.0.1:9/in"\nsecret = "a long shared secret"\n'
                        '[retry]\nfirst_wait = 0.1\n')

            def post(url, body, headers):
                posts.append((url, json.loads(body)["message"]["text"],
                              headers["X-Selvarn-Signature"][:7]))
                return 200 if len(posts) > 1 else None  # the first gets no answer: sent again
            with Service(config, post=post) as svc:
                svc.start()
                for kwargs, field in [({"to": "12ab"}, "to"), ({"modem": "b"}, "modem"),
                                      ({"tag": "urgent"}, "tag")]:
                    with self.subTest(field=field), self.assertRaises(Refused) as caught:
                        svc.submit(**{"to": "+447700900001", "text": "hi", **kwargs})
                    self.assertEqual(caught.exception.field, field)
                sent = svc.submit("+447700900001", "hi", report=False, idempotency_key="k1")
                self.assertEqual((sent["to"], sent["existed"]), ("+447700900001", False))
                self.assertEqual(svc.submit("+447700900001", "hi", idempotency_key="k1")["id"],
                                 sent["id"])
                for _ in range(100):
                    if svc.message(sent["id"])["state"] == "sent" and len(posts) > 1:
                        break
                    time.sleep(0.05)
                self.assertEqual(svc.message(sent["id"])["state"], "sent")
                self.assertIsNone(svc.message(sent["id"] + 100))
                self.assertEqual([m["text"] for m in svc.inbox()], ["Hello"])
                self.assertEqual(posts, [("http://127.0.0.1:9/in", "Hello", "sha256=")] * 2)
                self.assertEqual([m["name"] for m in svc.modems()], ["a"])
                self.assertIn("# TYPE ", svc.metrics())
                svc.reload(config)  # the same file again: nothing refused
                svc.stop()
        finally:
            sim.send_signal(signal.SIGTERM)
            transcript = sim.communicate(timeout=10)[0]
            shutil.rmtree(folder, ignore_errors=True)
        written = "".join(line.split(" ms host  ", 1)[1] for line in transcript.splitlines()
                          if " ms host  " in line)
        self.assertIn("AT+CMGS=15<CR><CR>0001000C91447700090010000002E834<^Z>", written)
