// A second MQTT broker for the tests: aedes (it speaks MQTT 3.1.1) on a
// loopback port. Usage: node aedes.mjs PORT; says "listening PORT" on
// stdout once it takes connections, and ends on SIGTERM.
import { createServer } from 'node:net'
import Aedes from 'aedes'

const port = Number(process.argv[2])
const broker = Aedes()
const server = createServer(broker.handle)
server.listen(port, '127.0.0.1', () => console.log(`listening ${port}`))
process.on('SIGTERM', () => process.exit(0))
