"""Plug-in packages for end-to-end tests: .ovp archives built in memory, multipart uploads and a
server with an administrator ready.  Python standard library only."""
import hashlib
import io
import json
import os
import uuid
import zipfile

from ovfixture import OVServer, built_plugin


def library(name="pkg_sample"):
    """The bytes of a test plug-in build (pkg_sample: build A, pkg_sample_b: build B)."""
    with open(built_plugin(name), "rb") as f:
        return f.read()


def manifest(name="PkgSample", version="1.0.0", **extra):
    m = {"name": name, "version": version}
    m.update(extra)
    return json.dumps(m).encode()


def checksum_list(files):
    """CHECKSUMS.sha256 text for some of the package's files (sha256sum's form)."""
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files.items()).encode()


def make_package(files, wrapper=None):
    """A ZIP archive of files (name -> bytes or str); every name under wrapper/ when given."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr((wrapper + "/" + name) if wrapper else name, data.encode() if isinstance(data, str) else data)
    return buf.getvalue()


def sample_package(version="1.0.0", build="pkg_sample", wrapper=None, with_checksums=True, **extra):
    """PkgSample with its library as libPkgSample.so, a web file (and one in a subdirectory that
    is not installed) and a translation."""
    files = {"libPkgSample.so": library(build), "web/app.js": "app %s" % version, "web/sub/deep.js": "deep",
             "lang/en.json": '{"hello": "Hello"}'}
    if with_checksums:
        files["CHECKSUMS.sha256"] = checksum_list({"libPkgSample.so": files["libPkgSample.so"],
                                                   "web/app.js": files["web/app.js"].encode()})
    files["plugin.json"] = manifest("PkgSample", version, **extra)
    return make_package(files, wrapper)


def multipart(fields):
    """fields: (name, filename or None, bytes); returns (body, content type)."""
    boundary = "ovtest" + uuid.uuid4().hex
    out = []
    for name, filename, data in fields:
        disp = 'form-data; name="%s"' % name
        if filename is not None:
            disp += '; filename="%s"' % filename
        out.append(("--%s\r\nContent-Disposition: %s\r\nContent-Type: application/octet-stream\r\n\r\n"
                    % (boundary, disp)).encode() + data + b"\r\n")
    out.append(("--%s--\r\n" % boundary).encode())
    return b"".join(out), "multipart/form-data; boundary=" + boundary


class PackageServer(OVServer):
    """A server with plug-ins enabled and an administrator whose token is self.token.  With
    autostart=False the context manager does not start it (the test fills the plug-in directory
    first)."""

    def __init__(self, autostart=True, **kw):
        super().__init__(**kw)
        self.autostart = autostart

    def __enter__(self):
        if self.autostart:
            self.start()
        return self

    def start(self, args=None, wait=True):
        super().start(args, wait)
        if not getattr(self, "token", None):
            self.token = self.setup_admin()
        else:
            self.token = self.login()[1]["data"]["token"]
        return self

    def logged(self, text, timeout=10):
        """Whether text appears on standard output within timeout (the reader lags behind)."""
        return self.wait_for_stdout(text, timeout)

    def call(self, method, path, body=None, **kw):
        kw.setdefault("token", self.token)
        return self.json(method, "/api/v1" + path, body, **kw)

    def upload(self, data, filename="pkg.ovp", field="file", timeout=60):
        body, ctype = multipart([(field, filename, data)])
        return self.json("POST", "/api/v1/plugins/upload", body, headers={"Content-Type": ctype},
                         token=self.token, timeout=timeout)

    def staging(self):
        d = os.path.join(self.data_dir, "staging")
        return sorted(os.listdir(d)) if os.path.isdir(d) else None

    def audit(self, action):
        return self.db_rows("SELECT target, details FROM audit_log WHERE action = '%s' ORDER BY id" % action)
