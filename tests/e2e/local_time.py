#!/usr/bin/python3
"""Small helpers for the scenarios, which compare the control tool's output with the schedule.

  local_time.py next-start MINUTE [AFTER]
      The first instant strictly after AFTER (Unix seconds; default now) at which the local
      wall clock (TZ, else /etc/localtime) reads MINUTE (0-1439) with zero seconds, printed as
      "<ISO 8601 UTC, whole seconds, Z> <Unix seconds>".
  local_time.py member KEY
      The member KEY of the JSON object on standard input: strings as they are, other values
      as compact JSON; nothing when absent.
"""
import datetime
import json
import sys
import time


def next_start(minute, after):
    day = datetime.datetime.fromtimestamp(after).date()
    for offset in range(0, 3):
        date = day + datetime.timedelta(days=offset)
        candidate = time.mktime(
            (date.year, date.month, date.day, minute // 60, minute % 60, 0, 0, 0, -1))
        if candidate > after:
            stamp = datetime.datetime.fromtimestamp(candidate, datetime.timezone.utc)
            return f"{stamp:%Y-%m-%dT%H:%M:%S}Z {int(candidate)}"
    raise SystemExit(f"no local time {minute} within three days after {after}")


def main(arguments):
    if len(arguments) >= 2 and arguments[0] == "next-start":
        after = float(arguments[2]) if len(arguments) > 2 else time.time()
        print(next_start(int(arguments[1]), after))
    elif len(arguments) == 2 and arguments[0] == "member":
        text = sys.stdin.read()
        value = json.loads(text).get(arguments[1]) if text.strip() else None
        if isinstance(value, str):
            print(value)
        elif value is not None:
            print(json.dumps(value, separators=(",", ":")))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
