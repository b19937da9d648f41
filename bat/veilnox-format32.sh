#!/bin/sh
# Removes the Veilnox network-stack module for this user (the client's
# uninstall and repair buttons run this file from the program folder).
exec sh "$(dirname "$0")/veilnox-module-catalog.sh" format
