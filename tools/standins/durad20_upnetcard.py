#!/usr/bin/env python3
"""Stand-in for the panel's network-card script.

Lists the network interfaces of the machine tree under $MOULD_ROOT (proc/net/dev, "lo" left
out), marks Wi-Fi cards by sys/class/net/<if>/wireless, keeps the stored settings of cards that
are still present, writes the wired and the Wi-Fi card file (etc/netplan/netplan_prejson.txt and
wifi_prejson.txt) atomically, and prints what it would apply to each card. It applies nothing.
Without MOULD_ROOT it writes nothing and exits 1, so it can never touch this machine's /etc.
"""
import json
import os
import re
import signal
import sys
import tempfile

signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


def interfaces(root):
    try:
        with open(os.path.join(root, "proc/net/dev"), encoding="latin-1") as f:
            text = f.read()
    except OSError:
        return []
    names = []
    for name in re.findall(r"\s+(\S+):\s+", text):
        if name != "lo" and name not in names:
            names.append(name)
    return names


def stored_cards(path):
    try:
        with open(path, encoding="utf-8") as f:
            cards = json.load(f).get("netcard_info")
    except (OSError, ValueError, AttributeError):
        return {}
    if not isinstance(cards, list):
        return {}
    return {c["name"]: c for c in cards if isinstance(c, dict) and isinstance(c.get("name"), str)}


def read_text(path):
    try:
        with open(path, encoding="latin-1") as f:
            return f.read().strip()
    except OSError:
        return ""


def write_atomically(path, cards):
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".card-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump({"netcard_info": cards}, f, indent=4, ensure_ascii=False)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def new_card(root, name, wifi):
    card = {
        "name": name, "mac": read_text(os.path.join(root, "sys/class/net", name, "address")),
        "address": "", "netmask": "", "gateway": "", "dns": "", "isdhcp": True,
        "describe": "Wi-Fi" if wifi else "Ethernet", "status": "new", "iswifi": wifi,
        "ispriority": False,
    }
    if wifi:
        card.update({"use": True, "hotname": "", "passwd": ""})
    return card


def describe(card):
    if card.get("isdhcp"):
        how = "dhcp"
    else:
        # An empty gateway or name server is none.
        how = "static %s/%s gateway %s dns %s" % (card.get("address", ""), card.get("netmask", ""),
                                                   card.get("gateway") or "none", card.get("dns") or "none")
    extra = ""
    if card.get("iswifi"):
        extra = " wifi %r %s" % (card.get("hotname", ""), "in use" if card.get("use", True) else "not used")
    priority = " priority" if card.get("ispriority") else ""
    return "would apply %s: %s%s%s" % (card["name"], how, extra, priority)


def main():
    root = os.environ.get("MOULD_ROOT", "")
    print("card script started with %s" % sys.argv[1:], flush=True)
    if not root:
        print("MOULD_ROOT is not set: nothing written", file=sys.stderr)
        return 1
    wired_path = os.path.join(root, "etc/netplan/netplan_prejson.txt")
    wifi_path = os.path.join(root, "etc/netplan/wifi_prejson.txt")
    stored = stored_cards(wired_path)
    stored.update(stored_cards(wifi_path))

    wired, wifi = [], []
    for name in interfaces(root):
        is_wifi = os.path.isdir(os.path.join(root, "sys/class/net", name, "wireless"))
        card = dict(stored[name]) if name in stored else new_card(root, name, is_wifi)
        card["iswifi"] = is_wifi
        card["status"] = "applied"
        (wifi if is_wifi else wired).append(card)
        print(describe(card), flush=True)

    write_atomically(wired_path, wired)
    write_atomically(wifi_path, wifi)
    return 0


if __name__ == "__main__":
    sys.exit(main())
