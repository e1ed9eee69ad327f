#!/bin/sh
# Makes the certificates the TLS tests use, in DIR (created when missing):
#   ca.pem ca.key          the CA the agent trusts for its studios and testers
#   agent.pem agent.key    the agent: localhost, 127.0.0.1 and ::1
#   agent2.pem agent2.key  the agent again, a new key (a reload)
#   alice.pem alice.key    a studio: CN=alice, no subjectAltName
#   alice2.pem alice2.key  alice again with another key (another certificate)
#   bob.pem bob.key        a studio: CN=bob, subjectAltName email bob@lab.example
#   carol.pem carol.key    a studio: CN=carol, subjectAltName URI kvs://lab/carol
#   expired.pem expired.key  CN=alice from the CA, expired a day ago
#   other-ca.pem other-ca.key, stranger.pem stranger.key  CN=alice from another CA
# Every key is EC P-256. Usage: make-certs.sh DIR
set -eu
dir=${1:?usage: make-certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
ca() {
  key "$1"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 3650 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
# issue NAME CA SUBJECT DAYS EXTENSIONS
issue() {
  key "$1"
  printf '%s\n' "$5" > "$1.ext"
  openssl req -new -key "$1.key" -subj "$3" 2>/dev/null |
    openssl x509 -req -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "$4" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.ext"
}
client='basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth'
server='basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1'
ca ca "kvs test CA"
ca other-ca "another CA"
issue agent ca /CN=localhost 3650 "$server"
issue agent2 ca /CN=localhost 3650 "$server"
issue alice ca /CN=alice 3650 "$client"
issue alice2 ca /CN=alice 3650 "$client"
issue bob ca /CN=bob 3650 "$client
subjectAltName=email:bob@lab.example"
issue carol ca /CN=carol 3650 "$client
subjectAltName=URI:kvs://lab/carol"
issue expired ca /CN=alice -1 "$client"
issue stranger other-ca /CN=alice 3650 "$client"
rm -f ./*.srl
