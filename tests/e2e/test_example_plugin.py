"""The plug-in guide's sample (examples/hello-plugin), built as the guide says, packaged with its
own plugin.json, uploaded, enabled and used: its route, its menu entry, its event and its table."""
import os
import unittest

from ovfixture import ROOT, build_dir
from ovpackages import PackageServer, make_package

SAMPLE = os.path.join(ROOT, "examples", "hello-plugin")


def hello_package():
    with open(os.path.join(build_dir(), "examples", "libHello.so"), "rb") as f:
        lib = f.read()
    with open(os.path.join(SAMPLE, "plugin.json"), "rb") as f:
        manifest = f.read()
    return make_package({"plugin.json": manifest, "libHello.so": lib})


class HelloPlugin(unittest.TestCase):
    def test_install_enable_and_use(self):
        with PackageServer() as srv:
            status, body = srv.upload(hello_package(), filename="hello.ovp")
            self.assertEqual(status, 200, body)
            # A new plug-in waits for an administrator: its route answers 503 until enabled.
            status, body = srv.call("POST", "/plugins/Hello/greet", {"name": "Ada"})
            self.assertIn(status, (404, 503), body)
            status, body = srv.call("POST", "/plugins/enable", {"name": "Hello"})
            self.assertEqual(status, 200, body)

            status, body = srv.call("POST", "/plugins/Hello/greet", {"name": "Ada"})
            self.assertEqual((status, body), (200, {"greeting": "Hello, Ada!", "count": 1}))
            status, body = srv.call("POST", "/plugins/Hello/greet", {})
            self.assertEqual((status, body), (400, {"error": "name: 1 to 64 characters"}))
            # Routes need a caller.
            status, body = srv.json("POST", "/api/v1/plugins/Hello/greet", {"name": "Eve"})
            self.assertEqual(status, 401, body)

            # "user.create" greets the new user, on the request's own thread.
            status, body = srv.call("POST", "/users", {"username": "grace", "password": "secret99"})
            self.assertEqual(status, 201, body)
            status, body = srv.call("POST", "/plugins/Hello/greet", {"name": "Linus"})
            self.assertEqual(body["count"], 3, body)
            self.assertEqual(srv.db_rows("SELECT name FROM p_hello_greetings ORDER BY id"),
                             [("Ada",), ("grace",), ("Linus",)])

            status, body = srv.call("GET", "/admin/menu")
            self.assertEqual(status, 200, body)
            items = [i for i in body["data"] if i.get("owner") == "Hello"]
            self.assertEqual([(i["title"], i["url"], i["plugin"], i["position"]) for i in items],
                             [("Hello", "/admin/hello", "Examples", 50)])


if __name__ == "__main__":
    unittest.main()
