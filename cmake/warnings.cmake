# Warnings for the project's own code; they are errors so nothing slips by.
function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Werror)
endfunction()
