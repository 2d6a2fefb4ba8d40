# Sourced by the scripts that build, test and start Wine: the locale they run in does not
# depend on the caller's. Wine turns Windows names into Unix file names, and the Unix
# command line into Windows text, through the character set of the Unix locale; in any but
# UTF-8 (the POSIX locale of a shell without LANG, say) it cannot make a file whose name is
# not ASCII, and it reads a non-ASCII argument as other characters. C.UTF-8 is on every
# Debian machine.

# use_test_locale: C.UTF-8 in every category, whatever the caller set. Tests that need a
# language (Wine's Czech resources) set LANG for their own runs, which then takes effect.
use_test_locale() {
  local name
  for name in $(compgen -e); do
    case "$name" in LC_*) unset "$name" ;; esac
  done
  unset LANGUAGE
  export LANG=C.UTF-8
}

# use_utf8_locale: keeps a caller's UTF-8 locale (one that chooses the language of Wine's
# resources, say); any other becomes C.UTF-8 in every category, so that no category left
# behind (LC_CTYPE=POSIX) outweighs a LANG that a test sets later for its own run.
use_utf8_locale() {
  local charset
  charset=$(locale charmap 2>/dev/null) || charset=
  [ "$charset" = UTF-8 ] || use_test_locale
}
