# SPDX-License-Identifier: MIT
# The page as one self-contained HTML file, for file:// URLs, from which
# browsers load no module script: the style sheet and esbuild's bundle of
# the page's modules go inline, and the bundle of the worker's modules as
# text, which the page starts as a module worker from a data URL
# (engine.js).
#
#   cmake -DPAGE=DIR -DBUNDLES=DIR -DOUTPUT=FILE.html -P one_file.cmake
foreach(name PAGE BUNDLES OUTPUT)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "one_file.cmake needs -D${name}=...")
  endif()
endforeach()

file(READ ${PAGE}/index.html html)
# Each piece in place of its tag, which index.html must hold exactly once.
function(put_in_place tag piece)
  string(FIND "${html}" "${tag}" first)
  string(FIND "${html}" "${tag}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "index.html holds ${tag} not exactly once")
  endif()
  string(REPLACE "${tag}" "${piece}" replaced "${html}")
  set(html "${replaced}" PARENT_SCOPE)
endfunction()
# A bundle inline: a "</script" in it would end its script element early.
function(read_script file variable)
  file(READ ${file} script)
  string(TOLOWER "${script}" lower)
  string(FIND "${lower}" "</script" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${file} holds </script, which would end the inline script")
  endif()
  set(${variable} "${script}" PARENT_SCOPE)
endfunction()

file(READ ${PAGE}/style.css style)
read_script(${BUNDLES}/main.js page_script)
read_script(${BUNDLES}/worker.js worker_script)
put_in_place("<link rel=\"stylesheet\" href=\"style.css\">" "<style>\n${style}</style>")
put_in_place("<script type=\"module\" src=\"main.js\"></script>"
             "<script type=\"text/plain\" id=\"worker-source\">\n${worker_script}</script>\n<script type=\"module\">\n${page_script}</script>")
# Written whole under another name first: a failed build leaves no half page.
file(WRITE ${OUTPUT}.part "${html}")
file(RENAME ${OUTPUT}.part ${OUTPUT})
