#!/usr/bin/python3
# Reads a Prometheus text exposition on stdin with Prometheus's own Python parser and prints
# its samples as JSON; where promtool is installed, lints the text with it too. Exits 1, with
# the parser's or linter's words on stderr, when either refuses the text.
import json
import shutil
import subprocess
import sys

from prometheus_client.parser import text_string_to_metric_families

text = sys.stdin.read()
try:
    families = list(text_string_to_metric_families(text))
except Exception as e:  # the parser raises ValueError and others on a malformed line
    print("parser: %s" % e, file=sys.stderr)
    sys.exit(1)
samples = []
for f in families:
    if f.type == "unknown" or not f.documentation:
        print("parser: %s has no TYPE or HELP" % f.name, file=sys.stderr)
        sys.exit(1)
    for s in f.samples:
        samples.append({"family": f.name, "type": f.type, "name": s.name, "labels": s.labels, "value": s.value})
promtool = shutil.which("promtool")
if promtool:
    r = subprocess.run([promtool, "check", "metrics"], input=text.encode(), capture_output=True)
    if r.returncode != 0:
        print("promtool: %s%s" % (r.stdout.decode(), r.stderr.decode()), file=sys.stderr)
        sys.exit(1)
json.dump({"samples": samples, "promtool": bool(promtool)}, sys.stdout)
