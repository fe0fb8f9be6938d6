#!/usr/bin/env python3
"""Writes the scan tests' messages into the folder given: hidden/ holds the anti-virus test file
hidden the ways mail hides attachments, marked/ one message with a marker in a base64 attachment."""
import base64
import io
import os
import sys
import zipfile

# Assembled here so that this source never carries the test file whole.
TEST_FILE = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-" + b"TEST-FILE!$H+H*"
MARKER = b"mailhook reload marker 5c1e"


def mail(subject, parts):
    b = b"=-b-" + subject
    m = (b"From: Mallory <mallory@example.net>\r\nTo: Bob <bob@example.org>\r\nSubject: " + subject +
         b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + b + b"\"\r\n\r\n--" + b +
         b"\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n")
    for headers, body in parts:
        m += b"--" + b + b"\r\n" + headers + b"\r\n" + body + b"\r\n"
    return m + b"--" + b + b"--\r\n"


def attachment(name, data):
    return (b"Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
            b"Content-Disposition: attachment; filename=\"" + name + b"\"\r\n",
            base64.encodebytes(data).replace(b"\n", b"\r\n"))


def stored_zip(files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in files:
            z.writestr(name, data)
    return out.getvalue()


# Every byte as =XX with a soft line break in the middle: the raw message never holds the text.
def quoted_printable(data):
    half = len(data) // 2
    return "".join("=%02X" % c for c in data[:half]).encode() + b"=\r\n" + "".join(
        "=%02X" % c for c in data[half:]).encode()


b64 = mail(b"b64", [attachment(b"invoice.com", TEST_FILE)])
zipped = mail(b"zip", [attachment(b"files.zip", stored_zip([("readme.txt", b"nothing"), ("invoice.com", TEST_FILE)]))])
hidden = {
    "b64.eml": b64,
    "zip.eml": zipped,
    "qp.eml": mail(b"qp", [(b"Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n",
                            quoted_printable(b"Here: " + TEST_FILE))]),
    "fwd.eml": mail(b"fwd", [(b"Content-Type: message/rfc822\r\n", b64)]),
    "fwdzip.eml": mail(b"fwdzip", [(b"Content-Type: message/rfc822\r\n", zipped)]),
    "raw.eml": mail(b"raw", [(b"Content-Type: application/octet-stream\r\n", TEST_FILE)]),
    # One byte off: the engine matches the signature, not the look of it.
    "near.eml": mail(b"near", [attachment(b"invoice.com", TEST_FILE[:-1] + b"X")]),
}
for folder, messages in (("hidden", hidden), ("marked", {"marked.eml": mail(b"marked", [attachment(b"m.bin", MARKER)])})):
    os.makedirs(os.path.join(sys.argv[1], folder), exist_ok=True)
    for name, data in messages.items():
        with open(os.path.join(sys.argv[1], folder, name), "wb") as f:
            f.write(data)
# The signatures the tests write: the test file's and the marker's, as hex.
with open(os.path.join(sys.argv[1], "hex.txt"), "w") as f:
    f.write(TEST_FILE.hex() + "\n" + MARKER.hex() + "\n")
