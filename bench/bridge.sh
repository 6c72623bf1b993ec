#!/usr/bin/env bash
# Bridge round trips and main-thread costs in a real OBS; see bench/bridge.js. Runs in OBS 29 and
# OBS 32, their figures side by side.
exec bash "$(dirname "$0")/on-both-obs.sh" bench/bridge.js
