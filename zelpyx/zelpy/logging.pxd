cdef extern from "orvex/core/Logging.h" namespace "plog":
    cpdef enum Severity "plog::Severity":
        none "plog::none"
        fatal "plog::fatal"
        error "plog::error"
        warning "plog::warning"
        info "plog::info"
        debug "plog::debug"
        verbose "plog::verbose"

cdef extern from "orvex/core/Logging.h":
    void init_plog_all_statically_message_only_console_cerr(Severity max_severity) except +
