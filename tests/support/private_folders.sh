# Sourced by the test scripts: points HOME, XDG_RUNTIME_DIR, XDG_CACHE_HOME,
# XDG_CONFIG_HOME and TMPDIR at fresh folders under $1 (a folder the script
# removes at its end), as the test programs' main does, so that nothing a
# script runs writes into, or reads from, the folders of the user running it.
#   . private_folders.sh WORK_DIR
for qv_var in HOME XDG_RUNTIME_DIR XDG_CACHE_HOME XDG_CONFIG_HOME TMPDIR; do
  mkdir -p -m 700 "$1/$qv_var"
  export "$qv_var=$1/$qv_var"
done
unset qv_var FIREBIRD_LOCK QUORVEL_DRIVE_C
