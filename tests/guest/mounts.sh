# Scratch folders and bind mounts for the tests of deleting mounted folders,
# sourced by them after scripts/guest/remove-tree.sh. They run in a mount
# namespace of their own: when a test ends, its mounts end with it.

# start_scratch ROOT: an empty scratch folder ROOT.
start_scratch() {
    delete_on_one_file_system "$1"
    mkdir -p "$1"
}

# bind_scratch FOLDER POINT: FOLDER, holding one file, bind-mounted at POINT.
bind_scratch() {
    mkdir -p "$1"
    echo kept >"$1/file"
    mount --bind "$1" "$2"
}

# all_scratch_files_kept ROOT COUNT: ROOT/mounted-1 to ROOT/mounted-COUNT
# still hold their files.
all_scratch_files_kept() {
    number=1
    while [ "$number" -le "$2" ]; do
        if [ ! -f "$1/mounted-$number/file" ]; then
            echo "$1/mounted-$number/file is gone"
            return 1
        fi
        number=$((number + 1))
    done
}

# remove_tree_says DIR TEXT: remove_tree DIR fails and says TEXT.
remove_tree_says() {
    ! remove_tree "$1" >"$1.said" 2>&1 && grep -qF "$2" "$1.said"
}
