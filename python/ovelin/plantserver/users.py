"""The user file: user names with salted scrypt hashes of their passwords.

Add a user (or change a password), reading the password from a prompt, or
from the first line of standard input when that is not a terminal:

    python -m ovelin.plantserver.users FILE NAME
"""

from __future__ import annotations

import argparse
import getpass
import hashlib
import hmac
import json
import os
import sys

from asyncua.crypto.permission_rules import User, UserRole

# scrypt's cost: about 16 MiB and tens of milliseconds per check, paid once per session.
COST = {"n": 2**14, "r": 8, "p": 1}


def hash_password(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, maxmem=64 * 2**20)


def read_users(path: str) -> dict[str, dict]:
    with open(path, encoding="utf-8") as file:
        users = json.load(file)
    if not isinstance(users, dict) or not all(isinstance(entry, dict) for entry in users.values()):
        raise ValueError(f"{path}: not a user file (an object of user name: scrypt entry)")
    return users


def add_user(path: str, name: str, password: str) -> None:
    """Adds the user, or gives an existing one the new password."""
    users = read_users(path) if os.path.exists(path) else {}
    salt = os.urandom(16)
    users[name] = {**COST, "salt": salt.hex(), "hash": hash_password(password, salt, **COST).hex()}
    # Written beside the old file and moved over it, so a crash never leaves half a file.
    temporary = f"{path}.new"
    with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w", encoding="utf-8") as file:
        json.dump(users, file, indent=2)
    os.replace(temporary, path)


class UserFile:
    """An asyncua user manager that admits the users of a user file, by password."""

    def __init__(self, path: str):
        self.path = path
        self.users = read_users(path)

    def get_user(self, iserver, username=None, password=None, certificate=None) -> User | None:
        entry = self.users.get(username) if isinstance(username, str) else None
        if entry is None or not isinstance(password, str):
            return None
        expected = bytes.fromhex(entry["hash"])
        given = hash_password(password, bytes.fromhex(entry["salt"]), entry["n"], entry["r"], entry["p"])
        return User(role=UserRole.User, name=username) if hmac.compare_digest(given, expected) else None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m ovelin.plantserver.users",
                                     description="Add a user to a plant server's user file, or change a password.")
    parser.add_argument("file", help="the user file (created if missing)")
    parser.add_argument("name", help="the user name")
    args = parser.parse_args(argv)
    if sys.stdin.isatty():
        password = getpass.getpass(f"password for {args.name}: ")
        if password != getpass.getpass("again: "):
            print("the passwords differ: nothing changed", file=sys.stderr)
            return 1
    else:
        password = sys.stdin.readline().rstrip("\n")
    if not password:
        print("an empty password is not allowed: nothing changed", file=sys.stderr)
        return 1
    try:
        add_user(args.file, args.name, password)
    except (OSError, ValueError) as error:
        print(f"users: {error}", file=sys.stderr)
        return 2
    print(f"{args.name} added to {args.file}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
