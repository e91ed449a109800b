"""The peer a user would otherwise script: re.finditer over the text and
json.dumps of entries shaped like the engine's. Reads the request line on
standard input, writes one response line; prints its seconds on stderr."""
import json
import re
import sys
import time

line = sys.stdin.buffer.readline()
begin = time.perf_counter()
request = json.loads(line)
# The pattern comes as the first argument, in Python's own syntax (re has no
# \p{L}: letters are word characters that are not digits or the underscore).
pattern = re.compile(sys.argv[1])
text = request["text"]
entries = [{"captures": list(m.groups()), "groups": {}, "index": m.start(), "match": m.group(0)}
           for m in pattern.finditer(text)]
out = json.dumps({"engine": "python-re", "matches": entries, "status": "ok"},
                 ensure_ascii=False, separators=(",", ":"), sort_keys=True)
sys.stdout.write(out + "\n")
sys.stdout.flush()
print(f"{time.perf_counter() - begin:.6f}", file=sys.stderr)
