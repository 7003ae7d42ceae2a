#!/usr/bin/env python3
"""Sizes of kelvora-sim's item pages and of the answers with their dynamic data
(sib, mdskip) over the whole catalogue (min, median, max per kind) and the
simulator's CPU per page (user + system time of its process,
from /proc, while every item page is fetched once on one kept-alive connection).

  bench/sim_pages.py [BUILD] [--items N] [--tls] [--page-size real|small]
"""
import argparse
import http.client
import json
import os
import re
import ssl
import statistics
import subprocess
import sys
import tempfile
import time


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--items", type=int, default=2000)
    ap.add_argument("--tls", action="store_true")
    ap.add_argument("--page-size", default="real")
    ap.add_argument("--rounds", type=int, default=3, help="passes over the catalogue for the CPU figure")
    args = ap.parse_args()
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    sim_bin = os.path.join(root, args.build, "bin", "kelvora-sim")
    with tempfile.TemporaryDirectory() as work:
        cmd = [sim_bin, "--port", "0", "--items", str(args.items), "--page-size", args.page_size,
               "--write-config", os.path.join(work, "sim.ini")]
        if args.tls:
            cmd.append("--tls")
        sim = subprocess.Popen(cmd, stdout=subprocess.PIPE)
        try:
            line = sim.stdout.readline().decode()
            port = int(line.rsplit(":", 1)[1].strip().rstrip("/"))
            if args.tls:
                context = ssl.create_default_context(cafile=os.path.join(work, "kelvora-sim-ca.pem"))
                conn = http.client.HTTPSConnection("127.0.0.1", port, context=context)
            else:
                conn = http.client.HTTPConnection("127.0.0.1", port)

            def get(target):
                conn.request("GET", target, headers={"Cookie": "cookie2=kelvorademo0000"})
                return conn.getresponse().read()

            items = json.loads(get(f"/sim/catalogue.json?offset=0&limit={args.items}"))["items"]
            targets = []
            for it in items:
                path = {"tmall": "/detail/item.htm", "alt": "/ny/item.htm"}.get(it["kind"], "/item/item.htm")
                targets.append((it["kind"], f"{path}?id={it['id']}"))
            sizes, answers = {}, {}
            for kind, target in targets:
                page = get(target)
                sizes.setdefault(kind, []).append(len(page))
                found = re.search(rb'"initApi":"([^"]+)"', page) or re.search(rb"sibUrl +: '([^']+)'", page)
                if kind in ("taobao", "tmall", "alt") and found:
                    address = found.group(1).decode()
                    answer = get(address[address.index("/", address.index("127.0.0.1")):])
                    name = ("mdskip" if kind == "tmall" else
                            "sib (script)" if answer.startswith(b"g_config.") else "sib (json)")
                    answers.setdefault(name, []).append(len(answer))
            cpu0, wall0 = cpu_seconds(sim.pid), time.monotonic()
            for _ in range(args.rounds):
                for _, target in targets:
                    get(target)
            cpu, wall = cpu_seconds(sim.pid) - cpu0, time.monotonic() - wall0
        finally:
            sim.terminate()
            sim.wait()

    def row(name, v, unit="pages"):
        print(f"  {name:12s} {len(v):6d} {unit:7s}  min {min(v) / 1024:6.1f} KB  median {statistics.median(v) / 1024:6.1f} KB"
              f"  max {max(v) / 1024:6.1f} KB")

    print(f"item pages of kelvora-sim --items {args.items} --page-size {args.page_size}{' --tls' if args.tls else ''}:")
    for kind in sorted(sizes):
        row(kind, sizes[kind])
    row("full pages", [s for k in ("taobao", "tmall", "alt") for s in sizes.get(k, [])])
    print("answers with the dynamic data of the full pages:")
    for name in sorted(answers):
        row(name, answers[name], "answers")
    pages = len(targets) * args.rounds
    print(f"simulator CPU per page: {cpu / pages * 1e6:.0f} us (user+system over {pages} pages on one connection; "
          f"{wall / pages * 1e3:.2f} ms wall per page with this Python client)")


if __name__ == "__main__":
    sys.exit(main())
