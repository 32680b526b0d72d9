#!/bin/sh
echo "soak: not yet"
