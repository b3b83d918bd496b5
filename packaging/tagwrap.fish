# SPDX-License-Identifier: MIT
# fish completion for tagwrap: a file name, then a model key.

# The keys come from the usage text of the tagwrap being completed, so they
# are always its own.
function __tagwrap_models
    set -l tokens (commandline -opc)
    command $tokens[1] 2>/dev/null | awk '/supported model strings:/ { list = 1; next }
        list && /^  [^ ]+$/ { print $1 }'
end

complete -c tagwrap -f
complete -c tagwrap -n '__fish_is_nth_token 1' -F
complete -c tagwrap -n '__fish_is_nth_token 2' -a '(__tagwrap_models)' -d model
