#!/usr/bin/env python3
"""Validates JSON lines against a JSON Schema: every line must be one JSON object that the schema
accepts. Usage: validate-json.py SCHEMA [FILE...] (standard input without FILE). Exit status 0 when
all are valid, 1 when one is not (each bad line is printed with its reasons), 2 on a usage error."""
import json
import sys

import jsonschema


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    sources = [open(name, encoding="utf-8", errors="surrogateescape") for name in argv[2:]] or [sys.stdin]
    bad = lines = 0
    for source in sources:
        for number, line in enumerate(source, 1):
            if not line.strip():
                continue
            lines += 1
            try:
                errors = [e.message for e in validator.iter_errors(json.loads(line))]
            except json.JSONDecodeError as e:
                errors = ["not JSON: %s" % e]
            if errors:
                bad += 1
                print("%s:%d: %s" % (source.name, number, line.rstrip()), file=sys.stderr)
                for error in errors:
                    print("    %s" % error, file=sys.stderr)
    print("validate-json: %d line(s), %d invalid" % (lines, bad), file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
