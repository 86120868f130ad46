// node validate.js SBOM.json: validates a CycloneDX 1.5 JSON document with the CycloneDX project's
// own library (its strict JSON validator, which checks the document against the published 1.5
// schema and the SPDX licence list it references), and parses every licence expression in it with
// spdx-expression-parse against the SPDX licence and exception lists. Prints "valid" and exits 0,
// or prints what is wrong and exits 1.
'use strict'
const fs = require('fs')
const CDX = require('@cyclonedx/cyclonedx-library')
const parseExpression = require('spdx-expression-parse')

function expressions (node, found) {
  if (Array.isArray(node)) {
    node.forEach(item => expressions(item, found))
  } else if (node !== null && typeof node === 'object') {
    for (const [key, value] of Object.entries(node)) {
      if (key === 'expression' && typeof value === 'string') found.push(value)
      else expressions(value, found)
    }
  }
  return found
}

async function main (path) {
  const text = fs.readFileSync(path, 'utf8')
  const errors = await new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot5).validate(text)
  const problems = errors === null ? [] : [JSON.stringify(errors, null, 2)]
  for (const expression of expressions(JSON.parse(text), [])) {
    try {
      parseExpression(expression)
    } catch (e) {
      problems.push(`licence expression ${JSON.stringify(expression)}: ${e.message}`)
    }
  }
  if (problems.length) {
    console.log(problems.join('\n'))
    process.exit(1)
  }
  console.log('valid')
}

main(process.argv[2]).catch(e => { console.log(String(e)); process.exit(1) })
