#!/bin/sh
# makensis making a 64-bit installer. CPack passes makensis's options through a command
# line of its own that cannot keep "Target amd64-unicode" together, so this does.
exec makensis "-XTarget amd64-unicode" "$@"
