#!/usr/bin/python3
"""A loopback SMTP server for the mail tests.

Usage: smtp_sink.py FOLDER [USER PASSWORD]

Listens on 127.0.0.1 at a free port, written to FOLDER/port once it accepts connections.
Each accepted message becomes FOLDER/message-N.txt: one "name: value" line per envelope
field, header, text part (hex of its decoded bytes, line ends as LF) and attachment (file
name and hex of its bytes). With USER and PASSWORD the server offers AUTH and accepts only
those. It ends by itself after two minutes.
"""
import asyncio
import email
import email.policy
import os
import socket
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

folder = sys.argv[1]
user = sys.argv[2] if len(sys.argv) > 3 else None
password = sys.argv[3] if len(sys.argv) > 3 else None


def write_atomically(name, text):
    temporary = os.path.join(folder, "." + name)
    with open(temporary, "w", encoding="utf-8") as out:
        out.write(text)
    os.rename(temporary, os.path.join(folder, name))


class Handler:
    count = 0

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        login = session.auth_data if isinstance(session.auth_data, str) else ""
        lines = [
            "mail-from: " + envelope.mail_from,
            "rcpt: " + ",".join(envelope.rcpt_tos),
            "auth: " + login,
        ]
        for name in ("From", "To", "Cc", "Bcc", "Subject"):
            lines.append("header-%s: %s" % (name.lower(), message.get(name, "")))
        for part in message.walk():
            if part.is_multipart():
                continue
            data = part.get_payload(decode=True) or b""
            name = part.get_filename()
            if name:
                lines.append("attachment: %s %s" % (name, data.hex()))
            else:
                lines.append("text: " + data.replace(b"\r\n", b"\n").hex())
        Handler.count += 1
        write_atomically("message-%d.txt" % Handler.count, "\n".join(lines) + "\n")
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    accepted = (
        isinstance(auth_data, LoginPassword)
        and auth_data.login.decode() == user
        and auth_data.password.decode() == password
    )
    return AuthResult(success=accepted, handled=False, auth_data=user if accepted else None)


async def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    options = {}
    if user is not None:
        options = {"authenticator": authenticator, "auth_require_tls": False}
    loop = asyncio.get_running_loop()
    await loop.create_server(lambda: SMTP(Handler(), **options), sock=listener)
    write_atomically("port", str(listener.getsockname()[1]))
    await asyncio.sleep(120)


asyncio.run(main())
