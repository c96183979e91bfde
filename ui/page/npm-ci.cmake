# cmake -DNPM=<npm> -DDIR=<folder> -P npm-ci.cmake
#
# Runs npm ci in DIR only when node_modules is missing or older than the
# package files. npm ci starts by deleting node_modules, so it must not run
# needlessly: each new build folder would otherwise pull the folder from
# under anyone using it at that moment.

set(marker "${DIR}/node_modules/.package-lock.json")
set(fresh TRUE)
if(NOT EXISTS "${marker}")
  set(fresh FALSE)
endif()
foreach(file package.json package-lock.json)
  # IS_NEWER_THAN is also true for equal times: that reinstalls, to be safe.
  if("${DIR}/${file}" IS_NEWER_THAN "${marker}")
    set(fresh FALSE)
  endif()
endforeach()
if(fresh)
  return()
endif()

execute_process(COMMAND "${NPM}" ci --no-audit --no-fund --loglevel=error
                WORKING_DIRECTORY "${DIR}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "npm ci in ${DIR} failed: ${result}")
endif()
file(TOUCH "${marker}")
