#!/usr/bin/env python3
"""Python's ftplib against the FTP server: STOU, REST with RETR and STOR, and ABOR.

Usage: ftplib_check.py HOST PORT USER PASSWORD ROOT   (ROOT: the user's root folder, to check
the files on disk). Exits 0 when every check passed.
"""
import ftplib
import io
import os
import socket
import sys


def main():
    host, port, user, password, root = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
    ftp = ftplib.FTP()
    ftp.connect(host, port, timeout=20)
    ftp.login(user, password)
    ftp.voidcmd("TYPE I")

    # STOU: one 150 reply that names the new file; the data lands in it.
    payload = os.urandom(100000)
    pasv_host, pasv_port = ftp.makepasv()
    conn = socket.create_connection((pasv_host, pasv_port), timeout=20)
    resp = ftp.sendcmd("STOU")
    assert resp.startswith("150 FILE: file."), resp
    name = resp[len("150 FILE: "):]
    conn.sendall(payload)
    conn.close()
    resp = ftp.voidresp()  # a second 150 here would fail: one reply per step
    assert resp.startswith("226"), resp
    with open(os.path.join(root, name), "rb") as f:
        assert f.read() == payload, "STOU content"
    os.unlink(os.path.join(root, name))

    # REST then RETR: the file from the offset on.
    with open(os.path.join(root, "big.bin"), "rb") as f:
        big = f.read()
    got = bytearray()
    ftp.retrbinary("RETR big.bin", got.extend, rest=12345)
    assert bytes(got) == big[12345:], "REST+RETR"

    # REST then STOR: written at the offset, neither appended nor truncated.
    original = os.urandom(50000)
    with open(os.path.join(root, "rest.bin"), "wb") as f:
        f.write(original)
    patch = os.urandom(1000)
    ftp.storbinary("STOR rest.bin", io.BytesIO(patch), rest=20000)
    with open(os.path.join(root, "rest.bin"), "rb") as f:
        assert f.read() == original[:20000] + patch + original[21000:], "REST+STOR"

    # ABOR in the middle of a download: 426 for the transfer, then 226 for ABOR.
    conn = ftp.transfercmd("RETR big.bin")
    conn.recv(65536)
    resp = ftp.abort()
    assert resp.startswith("426"), resp
    conn.close()
    resp = ftp.getresp()
    assert resp.startswith("226 ABOR"), resp
    assert ftp.voidcmd("NOOP").startswith("200")
    # The connection still transfers after an abort.
    got = bytearray()
    ftp.retrbinary("RETR big.bin", got.extend)
    assert bytes(got) == big, "RETR after ABOR"
    ftp.quit()
    print("ftplib checks passed")


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # noqa: BLE001 - any failure is reported and fails the run
        print("ftplib check failed:", repr(e))
        sys.exit(1)
