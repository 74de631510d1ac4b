# Writes the manual page from the --help text, so the two never disagree:
# NAME from the project's one-line summary, SYNOPSIS from the usage line (the
# help text's first line), DESCRIPTION the whole rest as it stands.
#
# torvelin_man_page(HELP_FILE OUT_FILE VERSION SUMMARY)
function(torvelin_man_page help_file out_file version summary)
  file(READ ${help_file} help)
  string(FIND "${help}" "\n" eol)
  string(SUBSTRING "${help}" 0 ${eol} usage)
  math(EXPR rest_start "${eol} + 1")
  string(SUBSTRING "${help}" ${rest_start} -1 rest)
  string(STRIP "${rest}" rest)
  string(REGEX REPLACE "^.*torvelin-recovery[ ]*" "" usage_args "${usage}")

  # roff: a backslash is written \e, a minus \- (a hyphen would be typeset),
  # and a line may not begin with a control character.
  foreach(v summary usage_args rest)
    string(REPLACE "\\" "\\e" ${v} "${${v}}")
    string(REPLACE "-" "\\-" ${v} "${${v}}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" ${v} "${${v}}")
  endforeach()

  file(WRITE ${out_file}
    ".TH TORVELIN\\-RECOVERY 1 \"\" \"torvelin\\-recovery ${version}\" \"User Commands\"\n"
    ".SH NAME\n"
    "torvelin\\-recovery \\- ${summary}\n"
    ".SH SYNOPSIS\n"
    ".B torvelin\\-recovery\n"
    "${usage_args}\n"
    ".SH DESCRIPTION\n"
    ".nf\n"
    "${rest}\n"
    ".fi\n")
endfunction()
