#!/bin/sh
# Stand-in for the volume script: records its arguments, touches no audio.
echo "$*" >> "${H5TEST_DIR:-/nonexistent}/h5setvol.calls"
