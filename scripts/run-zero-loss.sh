#!/usr/bin/env bash
# Runs the zero-loss fault-injection suite (tests/zero_loss): the simulated engine at a steady
# load against the daemon and the private servers, with gearmand stopped and killed, MariaDB
# stopped, children killed and the daemon restarted; each case prints sent, landed,
# duplicated, kept and lost, and fails on any loss. Takes about six minutes on a plain build.
# The same environment as scripts/run-tests.sh applies (VT_TEST_PORT_BASE, VT_TEST_VARIANTS,
# which defaults to the plain build here, VT_TEST_REGEX).
VT_TEST_VARIANTS=${VT_TEST_VARIANTS:-plain} VT_TEST_LABEL=zero_loss exec "$(dirname "$0")/run-tests.sh"
