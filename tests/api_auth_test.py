"""Authentication of API requests end to end: the real daemon with its network process, a TLS
client, Bearer and signed requests, response signatures checked with Python's hmac."""

import http.client
import json
import os
import ssl
import time
import unittest

from daemon_test import DaemonCase
from vrktest import (api_response_signature, api_signed_authorization, free_port,
                     start_with_api_tokens)


class ApiAuthCase(DaemonCase):
    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.config("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\n\n[nightly]\ncommand = agent\nschedule = 0 2 * * *\n"
                    % (self.port, self.path("api.crt"), self.path("api.key"),
                       self.path("tokens")))
        start_with_api_tokens(self)

    def request(self, path, authorization=None, method="GET"):
        """(status, headers, body bytes) of one request over a new TLS connection."""
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=10)
        headers = {"Authorization": authorization} if authorization else {}
        conn.request(method, path, headers=headers)
        r = conn.getresponse()
        body = r.read()
        conn.close()
        return r.status, r.headers, body

    def signed(self, name, method, path, nonce, ts=None):
        ts = str(int(time.time()) if ts is None else ts)
        return api_signed_authorization(name, self.secrets[name], method, path, "", ts, nonce)

    def response_signature(self, name, nonce, status, body):
        return api_response_signature(self.secrets[name], nonce, status, body)

    def test_bearer_read_token_and_refusals(self):
        bearer = "Bearer reader." + self.secrets["reader"]
        status, headers, body = self.request("/api/v1/info", bearer)
        self.assertEqual(status, 200, body)
        info = json.loads(body)
        self.assertEqual(info["token"], {"name": "reader", "role": "read"})
        self.assertIsNone(headers.get("X-VRK-Signature"))
        status, _, body = self.request("/api/v1/info")
        self.assertEqual(status, 401)
        self.assertEqual(json.loads(body)["error"]["message"],
                         "no credentials (Authorization: Bearer or VRK-HMAC-SHA256 expected)")
        status, _, body = self.request("/api/v1/info", "Bearer adm." + self.secrets["adm"])
        self.assertEqual(status, 401)
        self.assertEqual(json.loads(body)["error"]["code"], "unauthorized")
        self.wait_log("vrk_sched API: GET /api/v1/info from ", count=2)
        for secret in self.secrets.values():
            self.assertNotIn(secret, self.log())

    def test_signed_response_and_replay(self):
        nonce = os.urandom(16).hex()
        value = self.signed("adm", "GET", "/api/v1/nothing", nonce)
        status, headers, body = self.request("/api/v1/nothing", value)
        self.assertEqual(status, 404, body)
        self.assertEqual(headers.get("X-VRK-Signature"),
                         self.response_signature("adm", nonce, 404, body))
        status, headers, body = self.request("/api/v1/nothing", value)
        self.assertEqual(status, 401)
        self.assertEqual(json.loads(body)["error"]["message"], "nonce already used")
        self.assertIsNone(headers.get("X-VRK-Signature"))
        stale = self.signed("adm", "GET", "/api/v1/info", os.urandom(16).hex(),
                            ts=int(time.time()) - 400)
        status, _, body = self.request("/api/v1/info", stale)
        self.assertEqual(status, 401)
        self.assertIn("outside the allowed window", json.loads(body)["error"]["message"])


if __name__ == "__main__":
    unittest.main()
