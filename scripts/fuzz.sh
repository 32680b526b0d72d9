#!/bin/sh
echo "fuzz: not yet"
