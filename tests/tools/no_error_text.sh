#!/bin/sh
# no_error_text.sh SOURCE_DIR: programs decide on errors by their code and
# location, never by reading back their text. No hand-written source of the
# tool or the model, stream and validation libraries searches a message for
# a phrase (`find("...")` on an error text or the runtime's messages) or
# compares its start with something (`message().compare(0, ...)`).
set -eu
cd "$1"
hits=$(grep -rnE '(message\(\)|error|what|text)[a-z_]*\.r?find\("|(message\(\)|what)\.(compare|rfind|find)\(' \
  tools model/src stream/src validate/src || true)
if [ -n "$hits" ]; then
  echo "error texts read back (decide by code and location instead):" >&2
  echo "$hits" >&2
  exit 1
fi
echo "no error text read back"
