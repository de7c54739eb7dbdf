# bash completion for zubload
_zubload() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        -p|--port)
            local ports=(Com1 Com2 Com3 Com4 Com5 Com6 Com7 Com8)
            local dev
            for dev in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
                [[ -e $dev ]] && ports+=("$dev")
            done
            COMPREPLY=($(compgen -W "${ports[*]}" -- "$cur"))
            return ;;
        -b|--baud)
            local rates="110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200
                128000 256000"
            COMPREPLY=($(compgen -W "$rates" -- "$cur"))
            return ;;
        --protocol)
            COMPREPLY=($(compgen -W "NORMAL ZUB16T1 ZUB16T2" -- "$cur"))
            return ;;
        -C|--dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --model)
            # The model names of the image list in the start directory (-C, else here).
            local dir=. i
            for ((i = 1; i < COMP_CWORD; i++)); do
                [[ ${COMP_WORDS[i]} == -C || ${COMP_WORDS[i]} == --dir ]] && dir=${COMP_WORDS[i+1]}
            done
            dir=${dir/#\~/$HOME}
            [[ -r $dir/hexlist.txt ]] || return
            # Names hold blanks and Korean text: each is offered quoted as one word.
            local typed=${cur//\\/} line name
            typed=${typed#[\"\']}
            COMPREPLY=()
            while IFS= read -r line || [[ -n $line ]]; do
                line=${line%$'\r'}
                [[ $line == *=* ]] || continue
                name=${line%=*}
                [[ $name == "$typed"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
            done < "$dir/hexlist.txt"
            return ;;
        --model-row|--repeat|--timeout)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        local options="--port --baud --protocol --auto-reset --no-auto-reset --skip-blank
            --no-skip-blank --verify --dir --model --model-row --repeat --timeout --json --quiet --list-ports
            --help --version"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    # Firmware files: Intel HEX and scrambled images, and folders to reach them.
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -X '!*.@(hex|HEX|lod|LOD)' -- "$cur") $(compgen -d -- "$cur"))
    compopt -o filenames 2>/dev/null
}
complete -F _zubload zubload
