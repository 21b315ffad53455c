# The platform's policy macros that tarnd.te uses, for cmake/check-sepolicy.sh only: a device
# build expands tarnd.te with the platform's own. Written from what the macros are documented to
# mean; no platform file was copied. Where the platform's version grants more (an init daemon's
# tmpfs files, logcat), only the part that tarnd relies on is here.

# Permission sets.
define(`r_file_perms', `{ getattr open read ioctl lock }')
define(`w_file_perms', `{ open append write }')
define(`x_file_perms', `{ getattr execute execute_no_trans }')
define(`rw_file_perms', `{ r_file_perms w_file_perms }')
define(`rx_file_perms', `{ r_file_perms x_file_perms }')
define(`create_file_perms', `{ create rename setattr unlink rw_file_perms }')
define(`r_dir_perms', `{ open getattr read search ioctl }')
define(`w_dir_perms', `{ open search write add_name remove_name }')
define(`rw_dir_perms', `{ r_dir_perms w_dir_perms }')
define(`create_dir_perms', `{ create reparent rename rmdir setattr rw_dir_perms }')

# domain_trans(olddomain, exec_type, newdomain): olddomain may run the file and move into
# newdomain, which may be entered through it and signal its parent when it exits.
define(`domain_trans', `
allow $1 $2:file { getattr open read execute };
allow $1 $3:process transition;
allow $3 $2:file { entrypoint open read execute getattr };
allow $3 $1:process sigchld;
')

# domain_auto_trans: the same, and running the file moves into newdomain without asking.
define(`domain_auto_trans', `
domain_trans($1, $2, $3)
type_transition $1 $2:process $3;
')

# init_daemon_domain(domain): init starts domain_exec, which runs in domain.
define(`init_daemon_domain', `
domain_auto_trans(init, $1_exec, $1)
')

# binder_use(domain): the domain may talk binder, starting with the context manager.
define(`binder_use', `
allow $1 servicemanager:binder { call transfer };
')

# add_service(domain, service): only the domain may publish a service of that type.
define(`add_service', `
allow $1 $2:service_manager add;
neverallow { domain -$1 } $2:service_manager add;
')

# unix_socket_connect(client, name, server): connect to the server's socket /dev/socket/name.
define(`unix_socket_connect', `
allow $1 $2_socket:sock_file write;
allow $1 $3:unix_stream_socket connectto;
')

# read_logd(domain): read the log buffers from logd.
define(`read_logd', `
unix_socket_connect($1, logdr, logd)
')
