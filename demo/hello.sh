#!/bin/sh
# The demo's supervised program: greets, works a few seconds, and ends.
echo "hello: $1 (version $2, pid $$) started"
sleep 5
echo "hello: pid $$ ends"
