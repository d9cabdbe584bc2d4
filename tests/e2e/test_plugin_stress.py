"""Plug-in routes and service calls under load while the plug-in is disabled, enabled and
reloaded again and again: every answer is one the endpoints give for a plug-in that is there, away
or busy, and the server stays up.  OV_STRESS_SECONDS sets the length (default 8; 30 for the long
run)."""
import os
import threading
import time
import unittest

from test_plugin_services import API, PluginHub

SECONDS = float(os.environ.get("OV_STRESS_SECONDS", "8"))
CALLERS = 8


class PluginUnderLoad(unittest.TestCase):
    def test_calls_while_disabled_enabled_and_reloaded(self):
        with PluginHub(["svc_cpp"]) as srv:
            srv.launch(enable=("SvcCpp",))
            token = srv.admin_token
            stop = threading.Event()
            answers, admin_answers = {}, {}
            lock = threading.Lock()

            def count(table, key):
                with lock:
                    table[key] = table.get(key, 0) + 1

            def caller(n):
                while not stop.is_set():
                    try:
                        count(answers, srv.request("GET", API + "/plugins/SvcCpp/echo?n=%d" % n, token=token)[0])
                        count(answers, srv.call("SvcCpp", "Echo", {"n": n})[0])
                    except OSError as e:
                        count(answers, type(e).__name__)

            def administrator():
                builds = ("svc_cpp2", "svc_cpp")
                i = 0
                while not stop.is_set():
                    for action in ("disable", "enable", "reload"):
                        if action == "reload":
                            srv.install_plugin(builds[i % 2], "svc_cpp")
                            i += 1
                        count(admin_answers, (action, srv.admin_call("/plugins/" + action, {"name": "SvcCpp"})[0]))
                        time.sleep(0.05)

            threads = [threading.Thread(target=caller, args=(n,)) for n in range(CALLERS)]
            threads.append(threading.Thread(target=administrator))
            for t in threads:
                t.start()
            time.sleep(SECONDS)
            stop.set()
            for t in threads:
                t.join(30)
            self.assertTrue(set(answers) <= {200, 404, 409, 503}, answers)
            self.assertGreater(answers.get(200, 0), 0, answers)
            self.assertTrue({status for (_, status) in admin_answers} <= {200, 409}, admin_answers)
            self.assertTrue(any(a == ("reload", 200) for a in admin_answers), admin_answers)
            # Still serving, the plug-in enabled again with the last build's code.
            srv.admin_call("/plugins/enable", {"name": "SvcCpp"})
            self.assertEqual(srv.call("SvcCpp", "Echo", {"x": 1}), (200, {"x": 1}))
            self.assertEqual(srv.stop(), 0)
            self.assertNotIn("Unhandled exception", srv.stdout)


if __name__ == "__main__":
    unittest.main()
