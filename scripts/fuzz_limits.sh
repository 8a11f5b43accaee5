# Sourced by fuzz.sh and test.sh: the longest input each fuzz target is given,
# and how many inputs the test run tries.
# Each limit lets the target build its largest valid input (or, where that is
# far beyond what fuzzing can reach, several of its largest entries); libFuzzer's
# own default of 4,096 bytes never builds a full conversation entry or a full
# message text. A target not named here gets 4,096 bytes; add a line for yours.
qv_fuzz_max_len() {
    case "$1" in
        fuzz_msgstore_convs*)   echo 65536 ;;    # two full conversation entries (31,773 bytes each) and the header
        fuzz_msgstore_msgs*)    echo 16384 ;;    # three messages of 4,096 text bytes (4,175 each)
        fuzz_msgstore_idents)   echo 98309 ;;    # the full list: 2,048 identities of 48 bytes and the header
        fuzz_msgstore_rinit)    echo 4100 ;;     # a full ring of 256 ids
        fuzz_msgstore_session)  echo 4120 ;;     # 4,096 bytes of unsent text and the header
        fuzz_msgstore_rprev)    echo 68286 ;;    # a counter and a ratchet state with 1,000 skipped keys
        fuzz_msgstore_unopened) echo 68191 ;;    # the header and 16 kept envelopes of 4,250 bytes
        fuzz_msgstore_names)    echo 255 ;;      # the longest name a directory entry has
        fuzz_ratchet_state)     echo 68277 ;;    # a state with 1,000 skipped keys
        fuzz_ratchet_decrypt)   echo 65536 ;;
        fuzz_session_record)    echo 72704 ;;    # a record with 1,000 skipped keys and a full message
        fuzz_msg_*)             echo 8192 ;;     # a text body is 4,097 bytes, a link body up to about 2 KB
        fuzz_keys_keyfile)      echo 4162 ;;     # a 4,096-byte secret with header and tag
        fuzz_keys_backup)       echo 196724 ;;   # a backup of three chunks
        fuzz_sidx)              echo 65536 ;;    # several entries of 4,170 text bytes
        fuzz_deliver_envelope)  echo 4400 ;;     # the mode byte and a device envelope with a preamble and 4,170 plaintext bytes
        fuzz_bundle_instdir)    echo 65536 ;;    # 32 instances with their categories and conversations
        fuzz_framebuf|fuzz_tlv_reader|fuzz_tlv_find) echo 1048584 ;;  # a whole 1 MiB frame
        fuzz_envelope)          echo 1048576 ;;  # the largest envelope a frame carries
        fuzz_blob_chunk)        echo 65557 ;;    # a full 64 KiB chunk with its index, flag and tag
        fuzz_blob_stream)       echo 196724 ;;   # three chunks with the count and the digest
        fuzz_sealed_box)        echo 65584 ;;    # a 64 KiB plaintext and the box's 48 bytes
        fuzz_rest_token)        echo 81 ;;       # the time and one 73-byte token
        fuzz_server_relay)      echo 16384 ;;    # a conversation of several members with device keys, and envelopes
        fuzz_conv_info)         echo 16384 ;;    # 64 members, a few of them with five certified devices
        fuzz_cs_authed)         echo 16384 ;;    # several frames, one of them a long member list
        fuzz_cs_community)      echo 32768 ;;    # a few lists, one of them 256 members or 32 instances
        fuzz_cs_account)        echo 65536 ;;    # several frames, among them history chunks of a few KiB
        *)                      echo 4096 ;;
    esac
}

# How many inputs test.sh's short run of each target tries after the replay of
# its corpus: 20,000 for a target whose single input is cheap. A target whose
# single input does heavy work (a database, a whole decompression bound) tries
# fewer, so that every target's stage stays within seconds; scripts/fuzz.sh
# campaigns run as long as they are asked to.
qv_fuzz_runs() {
    case "$1" in
        fuzz_unzip_*)           echo 500 ;;      # each input may claim the 256 MiB bound: about 10 ms under the sanitizers
        fuzz_server_groups)     echo 500 ;;      # a fresh database per input
        fuzz_cs_*)              echo 1000 ;;     # a session with its own TLS context and store per input
        fuzz_ratchet_decrypt|fuzz_server_relay|fuzz_emoji_stage) echo 4000 ;;  # key derivations, a database, a staged pack per input
        fuzz_deliver_envelope)  echo 5000 ;;     # a store on disk per input
        fuzz_history_import)    echo 8000 ;;
        fuzz_session_record)    echo 10000 ;;
        *)                      echo 20000 ;;
    esac
}
